// The steps on a module that zr9ctl's commands and the production run share,
// so that connecting, writing and verifying exist once: connect and read,
// write, read back and compare, and what became of each in words.
#pragma once

#include <functional>
#include <string>

#include "module_session.h"
#include "port_choice.h"
#include "profile.h"

// What became of a step on a module.
struct StepResult {
    bool m_bOk = true;
    // The session's outcome of the step that ended it; Done when the module
    // answered and its answer was at fault (it did not keep what was
    // written), or the values were (a PIN too short).
    SessionOutcome m_outcome = SessionOutcome::Done;
    // Why it failed: the window's words for the module's answers ("Password
    // Error"), or the port's failure in words, which name the port.
    std::string m_strReason;
    // The reason as a message, naming the port.
    std::string m_strMessage;

    bool Ok() const { return m_bOk; }
};

// The result of one session step; `step` names it in messages ("Read").
StepResult ResultOf(SessionOutcome outcome, const IModuleSession& session,
                    const CPortChoice& port, const std::string& step);

// Connects with `password` and reads the module's record.
StepResult ConnectAndRead(IModuleSession& session, const CPortChoice& port,
                          const std::string& password, ProfileBytes& record);

// The record Write sends for `view`: built as the window's first Write after
// its start builds it (the bytes after the name's terminator are the default
// record's).
ProfileBytes RecordToWrite(const ProfileView& view);

// The steps of WriteProfile, for a caller that records each before it is
// taken: the record about to be written, then its read-back.
enum class WriteStep { Write, Verify };
// False stops WriteProfile before the step: nothing more is sent.
using WriteStepHook = std::function<bool(WriteStep step, const ProfileBytes& record)>;

// Writes `view` (refused before anything is sent when its PIN is too short),
// and with `verify` reads it back and compares every field the module shows:
// the module has no acknowledgement of its own. A hook that refuses a step
// ends it as Stopped.
StepResult WriteProfile(IModuleSession& session, const CPortChoice& port, const ProfileView& view,
                        bool verify, const WriteStepHook& hook = {});

// False when `held`, read back, shows another value than `written` in a
// field, with `reason` saying which ("verify: ...: Device Name is A, written B").
bool ProfileKept(const ProfileBytes& written, const ProfileBytes& held, std::string& reason);

// "02:A2:01:A2:00:A1": the module's own address as the window shows it.
std::string LocalAddressOf(const ProfileView& view);
// The module's own address as the module stores it once `view` is written
// (pairs upper-cased), the one form in which addresses are compared.
std::string StoredAddressOf(const ProfileView& view);
