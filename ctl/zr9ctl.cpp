#include "zr9ctl.h"

#include <filesystem>

#include "commands.h"
#include "connection.h"
#include "port_info.h"
#include "profile_file.h"

namespace {

bool IsComName(const std::string& port, int& number)
{
    if (port.size() < 4 || port.size() > 6 || (port[0] != 'C' && port[0] != 'c') ||
        (port[1] != 'O' && port[1] != 'o') || (port[2] != 'M' && port[2] != 'm') ||
        port.find_first_not_of("0123456789", 3) != std::string::npos)
        return false;
    number = std::stoi(port.substr(3));
    return number >= 1;
}

ProfileView ViewOf(const ProfileBytes& record)
{
    ProfileView view;
    DecodeProfileRecord(record, view);
    return view;
}

}  // namespace

bool CPortChoice::Parse(const std::string& port)
{
    m_strName = port;
    m_strDevice.clear();
    int number = 0;
    if (IsComName(port, number)) {
        if (number <= serial_platform::kPortCount) {
            m_nPortIndex = number - 1;
            return true;
        }
#ifdef _WIN32
        // Beyond the window's COM31, by the name Windows gives it.
        m_strDevice = "\\\\.\\" + port;
        return true;
#else
        return false;
#endif
    }
    if (port.find('/') == std::string::npos && port.find('\\') == std::string::npos)
        return false;
    m_strDevice = port;
    return true;
}

bool CPortChoice::Present() const
{
    if (m_strDevice.empty())
        return port_info::InspectPort(m_nPortIndex).exists;
#ifdef _WIN32
    return true;
#else
    std::error_code error;
    return std::filesystem::exists(m_strDevice, error);
#endif
}

std::string CPortChoice::Describe(const PortFailure& failure) const
{
    return m_strDevice.empty() ? port_info::DescribeFailure(m_nPortIndex, failure)
                               : port_info::DescribeFailure(m_strName, m_strDevice, failure);
}

StepResult ResultOf(SessionOutcome outcome, const CModuleSession& session,
                    const CPortChoice& port, const std::string& step)
{
    StepResult result;
    switch (outcome) {
    case SessionOutcome::Done: return result;
    case SessionOutcome::PasswordRefused:
        result = {kExitModuleFailed, "Password Error", {}};
        break;
    case SessionOutcome::VersionRefused:
        result = {kExitModuleFailed, "Version Error", {}};
        break;
    case SessionOutcome::NoAnswer:
        result = {kExitModuleFailed,
                  step == "Connect" ? kNoAnswerMessage : "the module did not answer " + step, {}};
        break;
    case SessionOutcome::PortNotOpened:
        result = {kExitPortFailed, port.Describe(session.Failure()), {}};
        break;
    case SessionOutcome::WriteFailed:
    case SessionOutcome::DeviceGone:
        result = {kExitModuleFailed, port.Describe(session.Failure()), {}};
        break;
    case SessionOutcome::Stopped:
        result = {kExitStopped, "stopped during " + step, {}};
        break;
    }
    // The port's failures name the port already.
    const bool namesPort = outcome == SessionOutcome::PortNotOpened ||
                           outcome == SessionOutcome::WriteFailed ||
                           outcome == SessionOutcome::DeviceGone;
    result.m_strMessage = namesPort ? result.m_strReason : port.Name() + ": " + result.m_strReason;
    return result;
}

StepResult ConnectAndRead(CModuleSession& session, const CPortChoice& port,
                          const std::string& password, ProfileBytes& record)
{
    const StepResult connected = ResultOf(session.Connect(password), session, port, "Connect");
    return connected.Ok() ? ResultOf(session.Read(record), session, port, "Read") : connected;
}

StepResult WriteProfile(CModuleSession& session, const CPortChoice& port, const ProfileView& view,
                        bool verify)
{
    if (!PinCodeLongEnough(view.PinCode))
        return {kExitModuleFailed, kPinCodeMessage, port.Name() + ": " + kPinCodeMessage};
    ProfileBytes record = DefaultProfile;
    EncodeProfile(view, record);
    StepResult result = ResultOf(session.Write(record), session, port, "Write");
    if (!result.Ok() || !verify)
        return result;

    ProfileBytes readBack;
    result = ResultOf(session.Read(readBack), session, port, "Read after Write");
    if (!result.Ok())
        return result;
    std::string reason;
    if (ProfileKept(record, readBack, reason))
        return result;
    result.m_nStatus = kExitModuleFailed;
    result.m_strReason = reason;
    result.m_strMessage = port.Name() + ": " + result.m_strReason;
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
