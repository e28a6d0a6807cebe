// Port descriptions, the port survey and the reasons operations failed, from
// what the port records and what the platform file finds out about devices.
#include "port_info.h"

#include "serialport.h"

namespace port_info {

namespace {

constexpr char kNotResponding[] = "the device does not respond; unplug it and plug it in again";

bool SetsUpTheLine(PortStep step)
{
    return step >= PortStep::SetCommMask && step <= PortStep::SetCommState;
}

std::string Reason(const std::string& device, const PortFailure& failure, CDeviceHolders& holders)
{
    if (failure.timedOut) {
        std::string reason = "the line held the output for " +
                             std::to_string(serial_platform::kWriteTimeLimitMs / 1000) + " s";
        if (failure.heldByHandshake)
            reason += " (RTS/CTS flow control is on and CTS is low)";
        return reason;
    }
    if (failure.deviceGone)
        return kNotResponding;
    const std::string reason = ReasonForError(device, failure, holders);
    return SetsUpTheLine(failure.step) ? "its line could not be set up, " + reason : reason;
}

}  // namespace

std::string ComName(int portIndex)
{
    return "COM" + std::to_string(portIndex + 1);
}

std::string DeviceName(int portIndex)
{
    char name[serial_platform::kPortNameSize];
    return serial_platform::PortName(portIndex, name, sizeof name) ? name : "";
}

std::string DescribePort(int portIndex)
{
    return DescribePort(portIndex, InspectPort(portIndex));
}

std::string DescribePort(int portIndex, const PortDevice& device)
{
    std::string text = ComName(portIndex);
    if (!device.path.empty())
        text += ": " + device.path;
    if (!device.details.empty())
        text += ", " + device.details;
    return text;
}

PortSurvey SurveyPorts(const std::function<void(int portIndex)>& onOpened, SurveyScope scope)
{
    PortSurvey survey;
    for (int portIndex = 0; portIndex < serial_platform::kPortCount; ++portIndex) {
        if (scope == SurveyScope::PresentPorts && !InspectPort(portIndex).exists)
            continue;
        SerialPort.SetPort(portIndex);
        if (SerialPort.Open() == 1) {
            SerialPort.Close();
            survey.openedPortIndexes.push_back(portIndex);
            onOpened(portIndex);
        } else {
            survey.unopenedPorts.push_back({portIndex, SerialPort.LastFailure()});
            SerialPort.Close();
        }
    }
    return survey;
}

std::string DescribeSurvey(const PortSurvey& survey, int selectedPortIndex)
{
    // Ports with the same reason share one sentence, in the order first met.
    // The console is no failure: it is named only when nothing opened.
    CDeviceHolders holders;
    std::vector<std::string> reasons;
    std::map<std::string, std::string> portsByReason;
    std::string console;
    for (const UnopenedPort& port : survey.unopenedPorts) {
        const PortDevice device = InspectPort(port.portIndex);
        if (!device.exists)
            continue;
        if (IsSystemConsole(port.portIndex)) {
            if (console.empty())
                console = ComName(port.portIndex);
            continue;
        }
        const std::string reason = Reason(DeviceName(port.portIndex), port.failure, holders);
        std::string& ports = portsByReason[reason];
        if (ports.empty())
            reasons.push_back(reason);
        else
            ports += ", ";
        ports += ComName(port.portIndex) + " (" + device.path + ")";
    }

    std::string text = selectedPortIndex >= 0 ? DescribePort(selectedPortIndex) : "";
    const auto add = [&text](const std::string& sentence) {
        text += text.empty() ? sentence : (text.back() == '.' ? " " : ". ") + sentence;
    };
    for (const std::string& reason : reasons)
        add(portsByReason[reason] + ": " + reason + ".");
    if (survey.openedPortIndexes.empty()) {
        if (!console.empty())
            add(console + " is the system console and is left alone.");
        const std::string outside = DevicesOutsideTable();
        if (!outside.empty())
            add(outside);
        else if (reasons.empty())
            add((console.empty() ? "No serial device found: " : "No other serial device found: ") +
                PortTable() + ".");
    }
    return text;
}

std::string DescribeFailure(int portIndex, const PortFailure& failure)
{
    return DescribeFailure(ComName(portIndex), DeviceName(portIndex), failure);
}

std::string DescribeFailure(const std::string& portName, const std::string& device,
                            const PortFailure& failure)
{
    CDeviceHolders holders;
    // Reads and writes that find the device gone end the connection.
    const bool transfer =
        failure.operation == PortOperation::Read || failure.operation == PortOperation::Write;
    if (transfer && failure.deviceGone)
        return portName + " was unplugged";
    const std::string reason = Reason(device, failure, holders);
    switch (failure.operation) {
    case PortOperation::Open: return portName + " could not be opened: " + reason;
    case PortOperation::Close: return portName + " could not be closed: " + reason;
    case PortOperation::Write: return "Write to " + portName + " failed: " + reason;
    case PortOperation::Read: return "Read from " + portName + " failed: " + reason;
    }
    return portName + ": " + reason;
}

}  // namespace port_info
