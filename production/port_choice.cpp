#include "port_choice.h"

#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "port_info.h"
#include "serial_platform.h"

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

std::string CPortChoice::DevicePath() const
{
    return m_strDevice.empty() ? port_info::DeviceName(m_nPortIndex) : m_strDevice;
}

std::string CPortChoice::Identity() const
{
    std::string device = DevicePath();
#ifdef _WIN32
    // "\\.\COM3", "COM3" and "com3" name one device.
    if (device.rfind("\\\\.\\", 0) == 0)
        device.erase(0, 4);
    std::transform(device.begin(), device.end(), device.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    return device;
#else
    // The device node, whatever path or link leads to it.
    struct stat node {};
    if (stat(device.c_str(), &node) == 0 && S_ISCHR(node.st_mode))
        return "device " + std::to_string(node.st_rdev);
    std::error_code error;
    const std::filesystem::path path = std::filesystem::weakly_canonical(device, error);
    return error ? device : path.string();
#endif
}

std::string CPortChoice::Holder() const
{
    port_info::CDeviceHolders holders;
    return holders.HolderOf(DevicePath());
}
