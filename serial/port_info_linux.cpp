// Linux: the device behind a port from the file system, sysfs and /proc.
// ZR9_SYSFS names a stand-in for /sys, so tests can describe devices that
// are not there; the devices themselves are only looked at, never opened.
#include "port_info.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "serial_platform.h"

namespace port_info {

namespace {

namespace fs = std::filesystem;

fs::path SysfsRoot()
{
    const char* root = std::getenv("ZR9_SYSFS");
    return root ? root : "/sys";
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

// A serial port the kernel lists but found no UART for (type 0, "unknown"),
// as PCs have for ttyS0 to ttyS3: nothing a user could plug in is there.
bool HasNoHardware(const std::string& tty)
{
    return FirstLine(SysfsRoot() / "class/tty" / tty / "type") == "0";
}

// The USB device a terminal belongs to: its product and serial number.
std::string UsbDetails(const std::string& tty)
{
    std::error_code error;
    const fs::path root = fs::canonical(SysfsRoot(), error);
    fs::path device = fs::canonical(SysfsRoot() / "class/tty" / tty / "device", error);
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

// Another process with `device` open, as "ModemManager (process 812)"; empty
// when /proc shows none (processes of other users usually stay hidden).
std::string HolderOf(const fs::path& device)
{
    DIR* processes = opendir("/proc");
    if (!processes)
        return {};
    const std::string self = std::to_string(getpid());
    std::string holder;
    while (holder.empty()) {
        const dirent* entry = readdir(processes);
        if (!entry)
            break;
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* descriptors = opendir(fdDir.c_str());
        if (!descriptors)
            continue;
        while (const dirent* fd = readdir(descriptors)) {
            if (LinkTarget((fdDir + "/" + fd->d_name).c_str()) == device.string()) {
                holder = FirstLine("/proc/" + pid + "/comm") + " (process " + pid + ")";
                break;
            }
        }
        closedir(descriptors);
    }
    closedir(processes);
    return holder;
}

std::string WhyUnusable(const char* name, const struct stat& device, const fs::path& resolved)
{
    if (serial_platform::IsActiveConsole(name))
        return "the system console, never opened";
    if (faccessat(AT_FDCWD, name, R_OK | W_OK, AT_EACCESS) != 0 && errno == EACCES) {
        const group* owners = getgrgid(device.st_gid);
        const bool groupMayUse = (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
        if (owners && device.st_gid != 0 && groupMayUse)
            return std::string("permission denied; join the ") + owners->gr_name +
                   " group, then log in again";
        return "permission denied";
    }
    const std::string holder = HolderOf(resolved);
    if (!holder.empty())
        return "in use by " + holder;
    return "cannot be opened; another program may hold it";
}

}  // namespace

PortDevice InspectPort(int portIndex, bool findWhyUnusable)
{
    PortDevice port;
    char name[serial_platform::kPortNameSize];
    struct stat device {};
    if (!serial_platform::PortName(portIndex, name, sizeof name) || stat(name, &device) != 0)
        return port;
    std::error_code error;
    const fs::path resolved = fs::canonical(name, error);
    const std::string tty = resolved.filename();
    if (error || HasNoHardware(tty))
        return port;

    port.exists = true;
    port.path = name;
    struct stat link {};
    if (lstat(name, &link) == 0 && S_ISLNK(link.st_mode))
        port.path += " -> " + LinkTarget(name);
    port.details = UsbDetails(tty);
    if (findWhyUnusable)
        port.unusableBecause = WhyUnusable(name, device, resolved);
    return port;
}

std::string NoDeviceFound()
{
    if (const char* portDir = std::getenv("ZR9_PORT_DIR"))
        return std::string("No serial device found: COM1 to COM31 are the links of that name in ") +
               portDir + ".";
    return "No serial device found: COM1 to COM31 are /dev/ttyS0-3, /dev/ttyUSB0-15 and "
           "/dev/ttyACM0-10.";
}

}  // namespace port_info
