// The simulated module as the end-to-end suites use it, whichever build of the
// window they drive: a profile for its --profile option, what its transcript
// says it received, sent and did, and the rows a production run logged. No Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "profile.h"

// A module profile as upper-case hex, as the simulator's --profile option.
std::string ProfileHex(const ProfileBytes& profile);

// A module profile unlike the default in every field, and the fields the
// window shows for it. Its option flags are 0x0A, a line feed among the
// record bytes.
ProfileBytes ProfileWithLineFeedFlags();
ProfileView ViewOfProfileWithLineFeedFlags();

// The record Write sends after a Read of ProfileWithLineFeedFlags() and these
// edits: device name "Bench", LocalAddr0 "9f", PIN "246802", Security on, no
// parity, the baud rate at `baudIndex`.
ProfileBytes ProfileAfterTheBenchEdits(std::uint8_t baudIndex);
// The same edits, baud index 3, as a profile file.
extern const char kBenchEditsProfileFile[];

// Every byte the transcript records in one direction ("RX" received, "TX"
// sent), in order: one transfer may hold several commands or part of one.
std::string TranscriptBytes(const std::string& transcriptPath, const char* direction);

// The record of the last "+PROG=R" answer the simulator sent, taken from its
// transcript: the module's profile at that moment.
std::optional<ProfileBytes> LastProfileSent(const std::string& transcriptPath);

// True once the transcript holds an event line "-- <event>".
bool TranscriptHasEvent(const std::string& transcriptPath, const std::string& event);

// The whole content of a file; empty when there is none.
std::string FileText(const std::string& path);

// The rows of a production run's log whose result is `result` ("ok"), as
// their cells: time, port, n, local address, new address, firmware, device
// name, result, reason.
std::vector<std::vector<std::string>> LogRows(const std::string& logPath, const char* result);
