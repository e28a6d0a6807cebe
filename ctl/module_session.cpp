#include "module_session.h"

#include <cstring>
#include <filesystem>

#include "commands.h"
#include "connection.h"
#include "port_info.h"
#include "profile_file.h"
#include "serialport.h"

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

// The view a record gives once written: what Write sends, as Read shows it.
ProfileView AsWritten()
{
    std::uint8_t line[kProfileReplyPrefixSize + kProfileSize];
    std::memcpy(line, kProfileReplyPrefix, kProfileReplyPrefixSize);
    std::memcpy(line + kProfileReplyPrefixSize, ModuleProfile.data(), kProfileSize);
    ProfileView view;
    DecodeProfileReply(line, sizeof line, view);
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

void CPortChoice::Select(CConsoleWindow& window) const
{
    PortMap[0] = m_nPortIndex;
    SerialPort.SetDeviceName(m_strDevice);
    window.SetPortDevice(m_strDevice.empty() ? "" : m_strName, m_strDevice);
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

CModuleSession::CModuleSession(CConsoleWindow& window, const CPortChoice& port)
    : m_window(window), m_port(port)
{
}

CModuleSession::~CModuleSession()
{
    Disconnect();
}

int CModuleSession::Fail(int status, const std::string& reason)
{
    m_strReason = reason;
    return status;
}

int CModuleSession::Connect(const std::string& password)
{
    m_port.Select(m_window);
    ProfileView view = m_window.GetProfileView();
    view.CfgPwd = password;
    m_window.SetProfileView(view);
    m_window.ClearLastError();
    m_window.SetConnectCaption("");
    m_window.SetVersionCaption("");
    btnConnectClick(m_window);
    if (ConnectionState == Connected)
        return kExitSuccess;
    // The window's message: why the port did not open, or the module's refusal.
    return Fail(m_window.ConnectCaption() == "Fail" ? kExitPortFailed : kExitModuleFailed,
                m_window.LastError());
}

int CModuleSession::Read(ProfileView& view)
{
    // A decode sets every member, one of the mode pair among them: a view
    // with neither set has had no profile line.
    ProfileView empty;
    empty.CfgPwd = m_window.GetProfileView().CfgPwd;
    m_window.SetProfileView(empty);
    m_window.ClearLastError();
    btnReadClick(m_window);
    view = m_window.GetProfileView();
    if (!view.ModeAt && !view.ModeTr)
        return Fail(kExitModuleFailed, m_window.LastError().empty()
                                           ? "the module did not answer Read"
                                           : m_window.LastError());
    return kExitSuccess;
}

int CModuleSession::Write(const ProfileView& view, bool verify)
{
    m_window.SetProfileView(view);
    m_window.ClearLastError();
    btnWriteClick(m_window);
    if (!m_window.LastError().empty())
        return Fail(kExitModuleFailed, m_window.LastError());
    if (!verify)
        return kExitSuccess;

    // The module has no acknowledgement: reading back is the only proof.
    const ProfileView written = AsWritten();
    ProfileView readBack;
    if (Read(readBack) != kExitSuccess)
        return m_window.LastError().empty()
                   ? Fail(kExitModuleFailed, "the module did not answer Read after Write")
                   : kExitModuleFailed;
    if (readBack == written)
        return kExitSuccess;
    std::string differences;
    for (std::size_t i = 0; i < kProfileFieldCount; ++i) {
        const auto field = static_cast<ProfileField>(i);
        const std::string sent = FormatProfileValue(written, field);
        const std::string held = FormatProfileValue(readBack, field);
        if (sent != held)
            differences += (differences.empty() ? ": " : "; ") +
                           std::string(ProfileFieldName(field)) + " is " + held + ", written " +
                           sent;
    }
    return Fail(kExitModuleFailed,
                "verify: the module did not keep what was written" + differences);
}

int CModuleSession::Reboot()
{
    m_window.ClearLastError();
    btnRebootClick(m_window);
    return m_window.LastError().empty() ? kExitSuccess
                                        : Fail(kExitModuleFailed, m_window.LastError());
}

void CModuleSession::Disconnect()
{
    if (ConnectionState != Idle)
        btnConnectClick(m_window);
}

std::string CModuleSession::FirmwareVersion() const
{
    // "Version %2d.%02d"
    const std::string& caption = m_window.VersionCaption();
    const std::size_t start = caption.find_first_not_of(' ', std::strlen("Version"));
    return start == std::string::npos ? std::string() : caption.substr(start);
}

std::string LocalAddressOf(const ProfileView& view)
{
    return FormatProfileValue(view, ProfileField::LocalAddress);
}
