// Polled rather than notified (inotify, WM_DEVICECHANGE): one loop serves
// Linux, Windows and a ZR9_PORT_DIR folder alike, and a look at 31 ports'
// device entries costs next to nothing.
#include "port_watch.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "port_info.h"
#include "serial_platform.h"

namespace {

constexpr std::chrono::milliseconds kLookInterval{250};

// One port as last seen, with its line kept for when its device is gone.
struct SeenPort {
    port_info::PortDevice m_device;
    std::string m_strText;
};

bool SameDevice(const port_info::PortDevice& a, const port_info::PortDevice& b)
{
    return a.exists == b.exists && a.path == b.path && a.details == b.details;
}

std::string PortText(int portIndex, const port_info::PortDevice& device)
{
    std::string text = port_info::DescribePort(portIndex, device);
    if (port_info::IsSystemConsole(portIndex))
        text += " (the system console)";
    return text;
}

// One line per event, flushed at once for whoever reads a pipe.
bool PrintEvent(const char* event, const std::string& text)
{
    std::printf("%-11s %s\n", event, text.c_str());
    return std::fflush(stdout) == 0;
}

}  // namespace

bool WatchPorts(const std::function<bool()>& stopRequested)
{
    std::fprintf(stderr, "zr9ctl: watching COM1 to COM31 for ports that appear or disappear; "
                         "Ctrl+C ends\n");
    std::array<SeenPort, serial_platform::kPortCount> seenPorts{};
    const char* event = "present";
    while (!stopRequested()) {
        for (int portIndex = 0; portIndex < serial_platform::kPortCount; ++portIndex) {
            const port_info::PortDevice device = port_info::InspectPort(portIndex);
            SeenPort& seen = seenPorts[portIndex];
            if (SameDevice(device, seen.m_device))
                continue;
            // Another adapter on the same name between two looks counts as both events.
            if (seen.m_device.exists && !PrintEvent("disappeared", seen.m_strText))
                return false;
            seen = {device, device.exists ? PortText(portIndex, device) : std::string()};
            if (device.exists && !PrintEvent(event, seen.m_strText))
                return false;
        }
        event = "appeared";
        std::this_thread::sleep_for(kLookInterval);
    }
    return true;
}
