// Driving the real window against zr9-module-sim: shared by the end-to-end
// tests and the benchmarks.
#pragma once

#include <optional>
#include <string>

#include "profile.h"
#include "qt_test_support.h"

class TForm1;

// Opens the port list as a user does (which runs discovery), closes it again
// and picks the entry `portName`; false when the list has no such entry.
bool PickPort(TForm1& form, const char* portName);

// The record of the last "+PROG=R" answer the simulator sent, taken from its
// transcript: the module's profile at that moment.
std::optional<ProfileBytes> LastProfileSent(const std::string& transcriptPath);

// True once the transcript holds an event line "-- <event>".
bool TranscriptHasEvent(const std::string& transcriptPath, const std::string& event);
