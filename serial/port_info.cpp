// Port descriptions and the reasons ports are missing, from what the platform
// file finds out about each device.
#include "port_info.h"

#include <map>

namespace port_info {

namespace {

std::string PortName(int portIndex)
{
    return "COM" + std::to_string(portIndex + 1);
}

}  // namespace

std::string DescribePort(int portIndex)
{
    const PortDevice device = InspectPort(portIndex, false);
    std::string text = PortName(portIndex);
    if (!device.path.empty())
        text += ": " + device.path;
    if (!device.details.empty())
        text += ", " + device.details;
    return text;
}

std::string ExplainUnopenedPorts(const std::vector<int>& unopenedPortIndexes, bool anyPortOpened)
{
    // Ports with the same reason share one sentence, in the order first met.
    std::vector<std::string> reasons;
    std::map<std::string, std::string> portsByReason;
    bool anyDevice = anyPortOpened;
    for (const int portIndex : unopenedPortIndexes) {
        const PortDevice device = InspectPort(portIndex, true);
        if (!device.exists)
            continue;
        anyDevice = true;
        std::string& ports = portsByReason[device.unusableBecause];
        if (ports.empty())
            reasons.push_back(device.unusableBecause);
        else
            ports += ", ";
        ports += PortName(portIndex) + " (" + device.path + ")";
    }
    if (!anyDevice)
        return NoDeviceFound();

    std::string text;
    for (const std::string& reason : reasons) {
        if (!text.empty())
            text += " ";
        text += portsByReason[reason] + ": " + reason + ".";
    }
    return text;
}

}  // namespace port_info
