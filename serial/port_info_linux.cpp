// Linux: the device behind a port from the file system, sysfs and /proc.
// ZR9_SYSFS names a stand-in for /sys (serial_platform::SysfsRoot), so tests
// can describe devices that are not there; the devices themselves are only
// looked at, never opened.
#include "port_info.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "serial_platform.h"

namespace port_info {

namespace {

namespace fs = std::filesystem;

// Kinds of serial device that COM1 to COM31 may not reach: USB adapters past
// the table, on-chip UARTs of ARM boards, the CH341 vendor driver, Bluetooth.
constexpr const char* kSerialDeviceKinds[] = {"ttyUSB", "ttyACM", "ttyAMA", "ttyCH341USB",
                                              "rfcomm"};

fs::path TtyClass()
{
    return fs::path(serial_platform::SysfsRoot()) / "class/tty";
}

// The first line of a small sysfs or /proc file, without its line end.
std::string FirstLine(const fs::path& file)
{
    std::ifstream stream(file);
    std::string line;
    std::getline(stream, line);
    return line;
}

std::string LinkTarget(const char* link)
{
    char target[PATH_MAX];
    const ssize_t size = readlink(link, target, sizeof target);
    return size > 0 ? std::string(target, static_cast<std::size_t>(size)) : std::string();
}

// The terminal's name in sysfs, e.g. ttyUSB0 for a link that leads to it.
std::string TtyName(const std::string& device)
{
    std::error_code error;
    return fs::weakly_canonical(device, error).filename();
}

// A serial port the kernel lists but found no UART for (type 0, "unknown"),
// as PCs have for ttyS0 to ttyS3: nothing a user could plug in is there.
bool HasNoHardware(const std::string& tty)
{
    return FirstLine(TtyClass() / tty / "type") == "0";
}

// The USB device a terminal belongs to: its product and serial number.
std::string UsbDetails(const std::string& tty)
{
    std::error_code error;
    const fs::path root = fs::canonical(serial_platform::SysfsRoot(), error);
    fs::path device = fs::canonical(TtyClass() / tty / "device", error);
    if (error)
        return {};
    // The terminal hangs below the USB interface, which hangs below the device.
    for (; device != root && device.has_relative_path(); device = device.parent_path()) {
        if (!fs::exists(device / "idVendor", error))
            continue;
        std::string product = FirstLine(device / "product");
        if (product.empty())
            product = "USB device " + FirstLine(device / "idVendor") + ":" +
                      FirstLine(device / "idProduct");
        const std::string serial = FirstLine(device / "serial");
        return serial.empty() ? product : product + ", serial " + serial;
    }
    return {};
}

std::string PermissionDenied(const std::string& name)
{
    struct stat device {};
    const bool known = stat(name.c_str(), &device) == 0;
    const group* owners = known ? getgrgid(device.st_gid) : nullptr;
    const bool groupMayUse = (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (owners && device.st_gid != 0 && groupMayUse)
        return std::string("permission denied; join the ") + owners->gr_name +
               " group, then log in again";
    return "permission denied";
}

}  // namespace

PortDevice InspectPort(int portIndex)
{
    PortDevice port;
    const std::string name = DeviceName(portIndex);
    struct stat device {};
    if (name.empty() || stat(name.c_str(), &device) != 0)
        return port;
    const std::string tty = TtyName(name);
    if (HasNoHardware(tty))
        return port;

    port.exists = true;
    port.path = name;
    struct stat link {};
    if (lstat(name.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
        port.path += " -> " + LinkTarget(name.c_str());
    port.details = UsbDetails(tty);
    return port;
}

bool PortIsThere(int, const PortDevice& device)
{
    return device.exists;
}

std::string CDeviceHolders::HolderOf(const std::string& device)
{
    // Every descriptor of every visible process, matched by device number:
    // a path string would miss a device opened through a link.
    if (!m_bLooked) {
        m_bLooked = true;
        if (DIR* processes = opendir("/proc")) {
            const std::string self = std::to_string(getpid());
            while (const dirent* process = readdir(processes)) {
                const std::string pid = process->d_name;
                if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
                    continue;
                const std::string fdDir = "/proc/" + pid + "/fd";
                DIR* descriptors = opendir(fdDir.c_str());
                if (!descriptors)
                    continue;
                while (const dirent* fd = readdir(descriptors)) {
                    struct stat opened {};
                    if (stat((fdDir + "/" + fd->d_name).c_str(), &opened) == 0 &&
                        S_ISCHR(opened.st_mode))
                        m_mapHolderByDevice.emplace(
                            opened.st_rdev,
                            FirstLine("/proc/" + pid + "/comm") + " (process " + pid + ")");
                }
                closedir(descriptors);
            }
            closedir(processes);
        }
    }
    struct stat held {};
    if (stat(device.c_str(), &held) != 0)
        return {};
    const auto holder = m_mapHolderByDevice.find(held.st_rdev);
    return holder == m_mapHolderByDevice.end() ? std::string() : holder->second;
}

bool IsSystemConsole(int portIndex)
{
    return serial_platform::IsActiveConsole(DeviceName(portIndex).c_str());
}

std::string ReasonForError(const std::string& device, const PortFailure& failure,
                           CDeviceHolders& holders)
{
    const int code = static_cast<int>(failure.errorCode);
    switch (code) {
    case EACCES:
    case EPERM:
        return PermissionDenied(device);
    case EBUSY:
        // The port refuses the console as busy.
        if (serial_platform::IsActiveConsole(device.c_str()))
            return "it is the system console, which is left alone";
        [[fallthrough]];
    case EWOULDBLOCK: {  // the lock another program holds
        const std::string holder = holders.HolderOf(device);
        return "in use by " + (holder.empty() ? std::string("another program") : holder);
    }
    case ENOENT:
        return "not there";
    case ENOTTY:
        return "not a serial port";
    default:
        return "error " + std::to_string(code) + " (" + std::strerror(code) + ")";
    }
}

std::string DevicesOutsideTable()
{
    std::set<std::string> inTable;
    for (int portIndex = 0; portIndex < serial_platform::kPortCount; ++portIndex)
        inTable.insert(TtyName(DeviceName(portIndex)));
    std::vector<std::string> found;
    std::error_code error;
    for (fs::directory_iterator entry(TtyClass(), error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string tty = entry->path().filename();
        const bool serial =
            std::any_of(std::begin(kSerialDeviceKinds), std::end(kSerialDeviceKinds),
                        [&tty](const char* kind) { return tty.starts_with(kind); });
        if (serial && !inTable.contains(tty) && !HasNoHardware(tty))
            found.push_back(tty);
    }
    std::sort(found.begin(), found.end());
    std::string text;
    for (const std::string& tty : found)
        text += (text.empty() ? "Found /dev/" : " Found /dev/") + tty +
                ", which is not one of COM1 to COM31: link it as COMn in a ZR9_PORT_DIR folder.";
    return text;
}

std::string PortTable()
{
    if (const char* portDir = std::getenv("ZR9_PORT_DIR"))
        return std::string("COM1 to COM31 are the links of that name in ") + portDir;
    return "COM1 to COM31 are /dev/ttyS0-3, /dev/ttyUSB0-15 and /dev/ttyACM0-10";
}

}  // namespace port_info
