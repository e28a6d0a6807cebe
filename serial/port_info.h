// What the system tells about the device behind each port, so that a user can
// tell ports apart and see why a device is missing from the port list. It only
// reads the system's device information and never opens a device.
#pragma once

#include <string>
#include <vector>

namespace port_info {

// One line naming the device behind port index 0..30, for example
// "COM5: /dev/ttyUSB0, CP2102 USB to UART Bridge Controller, serial 0001";
// just "COM5" when nothing is known.
std::string DescribePort(int portIndex);

// Why the ports of a discovery that did not open cannot be used, in words a
// user can act on, one sentence per reason. When nothing opened and no device
// exists behind any port, it says so. Empty when there is nothing to tell.
std::string ExplainUnopenedPorts(const std::vector<int>& unopenedPortIndexes, bool anyPortOpened);

// The device behind a port as the platform sees it (port_info_linux.cpp,
// port_info_win32.cpp).
struct PortDevice {
    bool exists = false;      // false: nothing behind the name, or no hardware behind it
    std::string path;         // what the port opens, with a link's target
    std::string details;      // the product and its serial number, when known
    std::string unusableBecause;  // filled by InspectPort(..., true) for a device that exists
};

PortDevice InspectPort(int portIndex, bool findWhyUnusable);

// The sentence for a discovery that found no device at all.
std::string NoDeviceFound();

}  // namespace port_info
