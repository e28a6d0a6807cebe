// Driving the real window against zr9-module-sim: shared by the end-to-end
// tests and the benchmarks.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "profile.h"

class TForm1;

// Clicks the first button of every modal box shortly after it opens (from a
// timer, so also inside the box's own event loop) and keeps its text.
class CBoxCloser : public QObject {
public:
    CBoxCloser();
    std::vector<std::string> m_vecTexts;

private:
    void Poll();
    QTimer m_timer;
};

// Everything the process writes to standard error while the object lives.
class CStderrCapture {
public:
    CStderrCapture();
    ~CStderrCapture();
    CStderrCapture(const CStderrCapture&) = delete;
    CStderrCapture& operator=(const CStderrCapture&) = delete;

    std::string Text() const;

private:
    int m_nSavedStderr = -1;
    int m_nFile = -1;
};

// Runs window events until `done` holds or `limitMs` have passed.
bool RunEventsUntil(const std::function<bool()>& done, int limitMs);

// Every process-wide object back to its state at program start.
void ResetProcessState();

// Opens the port list as a user does (which runs discovery), closes it again
// and picks the entry `portName`; false when the list has no such entry.
bool PickPort(TForm1& form, const char* portName);

std::string ProfileHex(const ProfileBytes& profile);

// The record of the last "+PROG=R" answer the simulator sent, taken from its
// transcript: the module's profile at that moment.
std::optional<ProfileBytes> LastProfileSent(const std::string& transcriptPath);

// True once the transcript holds an event line "-- <event>".
bool TranscriptHasEvent(const std::string& transcriptPath, const std::string& event);
