#include "module_steps.h"

#include "commands.h"
#include "connection.h"
#include "profile_file.h"

namespace {

ProfileView ViewOf(const ProfileBytes& record)
{
    ProfileView view;
    DecodeProfileRecord(record, view);
    return view;
}

StepResult Failed(SessionOutcome outcome, const CPortChoice& port, const std::string& reason)
{
    // The port's failures name the port already.
    const bool namesPort = outcome == SessionOutcome::PortNotOpened ||
                           outcome == SessionOutcome::WriteFailed ||
                           outcome == SessionOutcome::DeviceGone;
    return {false, outcome, reason, namesPort ? reason : port.Name() + ": " + reason};
}

}  // namespace

StepResult ResultOf(SessionOutcome outcome, const IModuleSession& session,
                    const CPortChoice& port, const std::string& step)
{
    switch (outcome) {
    case SessionOutcome::Done: return {};
    case SessionOutcome::PasswordRefused: return Failed(outcome, port, "Password Error");
    case SessionOutcome::VersionRefused: return Failed(outcome, port, "Version Error");
    case SessionOutcome::NoAnswer:
        return Failed(outcome, port,
                      step == "Connect" ? kNoAnswerMessage : "the module did not answer " + step);
    case SessionOutcome::PortNotOpened:
    case SessionOutcome::WriteFailed:
    case SessionOutcome::DeviceGone:
        return Failed(outcome, port, port.Describe(session.Failure()));
    case SessionOutcome::Stopped: return Failed(outcome, port, "stopped during " + step);
    }
    return {};
}

StepResult ConnectAndRead(IModuleSession& session, const CPortChoice& port,
                          const std::string& password, ProfileBytes& record)
{
    const StepResult connected = ResultOf(session.Connect(password), session, port, "Connect");
    return connected.Ok() ? ResultOf(session.Read(record), session, port, "Read") : connected;
}

ProfileBytes RecordToWrite(const ProfileView& view)
{
    ProfileBytes record = DefaultProfile;
    EncodeProfile(view, record);
    return record;
}

StepResult WriteProfile(IModuleSession& session, const CPortChoice& port, const ProfileView& view,
                        bool verify, const WriteStepHook& hook)
{
    if (!PinCodeLongEnough(view.PinCode))
        return Failed(SessionOutcome::Done, port, kPinCodeMessage);
    const ProfileBytes record = RecordToWrite(view);
    const auto take = [&](WriteStep step, const char* name) {
        return !hook || hook(step, record) ? StepResult{}
                                           : Failed(SessionOutcome::Stopped, port,
                                                    std::string("stopped before ") + name);
    };
    StepResult result = take(WriteStep::Write, "Write");
    if (result.Ok())
        result = ResultOf(session.Write(record), session, port, "Write");
    if (!result.Ok() || !verify)
        return result;

    result = take(WriteStep::Verify, "Read after Write");
    ProfileBytes readBack{};
    if (result.Ok())
        result = ResultOf(session.Read(readBack), session, port, "Read after Write");
    std::string reason;
    if (result.Ok() && !ProfileKept(record, readBack, reason))
        return Failed(SessionOutcome::Done, port, reason);
    return result;
}

bool ProfileKept(const ProfileBytes& written, const ProfileBytes& held, std::string& reason)
{
    // Compared as the window shows them: what Write sent, as Read shows it.
    const ProfileView sent = ViewOf(written);
    const ProfileView kept = ViewOf(held);
    if (kept == sent)
        return true;
    std::string differences;
    for (std::size_t i = 0; i < kProfileFieldCount; ++i) {
        const auto field = static_cast<ProfileField>(i);
        const std::string sentValue = FormatProfileValue(sent, field);
        const std::string keptValue = FormatProfileValue(kept, field);
        if (sentValue != keptValue)
            differences += (differences.empty() ? "" : "; ") +
                           std::string(ProfileFieldName(field)) + " is " + keptValue +
                           ", written " + sentValue;
    }
    reason = "verify: the module did not keep what was written" +
             (differences.empty() ? "" : ": " + differences);
    return false;
}

std::string LocalAddressOf(const ProfileView& view)
{
    return FormatProfileValue(view, ProfileField::LocalAddress);
}

std::string StoredAddressOf(const ProfileView& view)
{
    return LocalAddressOf(ViewOf(RecordToWrite(view)));
}
