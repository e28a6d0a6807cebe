// Windows: the device behind a port from SetupAPI, as Device Manager names
// it, or else from the system's DOS device names.
#include "port_info.h"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "serial_platform.h"

namespace port_info {

namespace {

// The name Device Manager shows for the Ports-class device whose PortName is
// `port`, e.g. "USB-SERIAL CH340 (COM5)"; empty when there is none (Wine).
std::string FriendlyName(const std::string& port)
{
    GUID portsClass;
    DWORD classes = 0;
    if (!SetupDiClassGuidsFromNameA("Ports", &portsClass, 1, &classes) || classes == 0)
        return {};
    const HDEVINFO devices = SetupDiGetClassDevsA(&portsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return {};
    std::string name;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; name.empty() && SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        const HKEY key =
            SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        char portName[32] = {};
        DWORD size = sizeof portName - 1;
        const bool matches = RegQueryValueExA(key, "PortName", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(portName),
                                              &size) == ERROR_SUCCESS &&
                             port == portName;
        RegCloseKey(key);
        char friendly[256] = {};
        if (matches && SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME,
                                                         nullptr, reinterpret_cast<BYTE*>(friendly),
                                                         sizeof friendly - 1, nullptr))
            name = friendly;
    }
    SetupDiDestroyDeviceInfoList(devices);
    return name;
}

}  // namespace

PortDevice InspectPort(int portIndex)
{
    PortDevice port;
    const std::string name = ComName(portIndex);
    // The driver's device behind the name, e.g. \Device\Silabser0 or \Device\USBSER000.
    char target[MAX_PATH];
    if (portIndex < 0 || portIndex >= serial_platform::kPortCount ||
        QueryDosDeviceA(name.c_str(), target, sizeof target) == 0)
        return port;
    port.exists = true;
    port.path = FriendlyName(name);
    if (port.path.empty())
        port.path = target;
    return port;
}

bool PortIsThere(int portIndex, const PortDevice& device)
{
    if (device.exists)
        return true;
    const std::string name = DeviceName(portIndex);
    if (name.empty())
        return false;
    const serial_platform::Handle port = serial_platform::OpenExclusive(name.c_str());
    if (port == serial_platform::kInvalidHandle)
        return serial_platform::LastErrorCode() == ERROR_ACCESS_DENIED;
    serial_platform::ClosePort(port);
    return true;
}

std::string CDeviceHolders::HolderOf(const std::string&)
{
    return {};
}

bool IsSystemConsole(int)
{
    return false;
}

std::string ReasonForError(const std::string&, const PortFailure& failure, CDeviceHolders&)
{
    switch (failure.errorCode) {
    case ERROR_ACCESS_DENIED:
        return "in use by another program";
    case ERROR_SEM_TIMEOUT:
        return "a Bluetooth serial port whose remote device does not answer";
    case ERROR_FILE_NOT_FOUND:
        return "not there";
    default:
        return "error " + std::to_string(failure.errorCode) + " (" +
               SystemErrorText(failure.errorCode) + ")";
    }
}

std::string DevicesOutsideTable()
{
    // Every DOS device name, the COM ports numbered past the table among them.
    std::vector<char> names(1 << 16);
    while (QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size())) == 0) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 24))
            return {};
        names.resize(names.size() * 2);
    }
    std::vector<int> numbers;
    for (const char* name = names.data(); *name; name += std::strlen(name) + 1) {
        const std::string entry = name;
        // Windows numbers COM ports up to 256.
        if (entry.size() > 3 && entry.size() <= 6 && entry.starts_with("COM") &&
            entry.find_first_not_of("0123456789", 3) == std::string::npos &&
            std::stoi(entry.substr(3)) > serial_platform::kPortCount)
            numbers.push_back(std::stoi(entry.substr(3)));
    }
    std::sort(numbers.begin(), numbers.end());
    std::string text;
    for (const int number : numbers)
        text += (text.empty() ? "Found COM" : " Found COM") + std::to_string(number) +
                ", which is not one of COM1 to COM31: renumber it in Device Manager.";
    return text;
}

std::string PortTable()
{
    return "COM1 to COM31 are not there";
}

}  // namespace port_info

std::string SystemErrorText(unsigned long code)
{
    char* buffer = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text = buffer ? buffer : "error " + std::to_string(code);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    return text;
}
