// What the system tells about the device behind each port, and why an
// operation on a port failed, in words a user can act on: the window's status
// bar says it, and so can a command line. Apart from the probing in
// SurveyPorts it only reads the system's device information.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "port_failure.h"

namespace port_info {

// "COM5" for port index 4.
std::string ComName(int portIndex);
// The device the platform opens for port index 0..30, e.g. /dev/ttyUSB0 or
// \\.\COM10; empty for another index.
std::string DeviceName(int portIndex);

// One line naming the device behind port index 0..30, for example
// "COM5: /dev/ttyUSB0, CP2102 USB to UART Bridge Controller, serial 0001";
// just "COM5" when nothing is known.
std::string DescribePort(int portIndex);

// What a probe of every port found.
struct UnopenedPort {
    int portIndex;
    PortFailure failure;  // the failure its Open recorded
};
struct PortSurvey {
    std::vector<int> openedPortIndexes;
    std::vector<UnopenedPort> unopenedPorts;
};

// Which ports a survey tries: all, as the port list does, or only those
// with a device behind them, which spares a command line's user a diagnostic
// line for each name that leads nowhere. Both find the same.
enum class SurveyScope { EveryPort, PresentPorts };

// Probes COM1 to COM31 in order through SerialPort: SetPort, Open, then Close
// whether it opened or not. `onOpened` runs after each port that opened, once
// it is closed again.
PortSurvey SurveyPorts(const std::function<void(int portIndex)>& onOpened,
                       SurveyScope scope = SurveyScope::EveryPort);

// The status line after a survey: the device behind the selected port (-1 for
// none), then why devices that exist did not open, one sentence per reason.
// When nothing opened it also names the system console, devices that COM1 to
// COM31 do not reach, or says that there is no device at all.
std::string DescribeSurvey(const PortSurvey& survey, int selectedPortIndex);

// The status line for a failed operation on a port, for example "Write to
// COM5 failed: the line held the output for 2 s (RTS/CTS flow control is on
// and CTS is low)", or "COM5 was unplugged" for a read or write that found
// the device gone.
std::string DescribeFailure(int portIndex, const PortFailure& failure);
// The same for a port named otherwise than by its index, such as a device
// path given on a command line: "/dev/ttyUSB0 could not be opened: ...".
std::string DescribeFailure(const std::string& portName, const std::string& device,
                            const PortFailure& failure);

// ---- What the platform file (port_info_linux.cpp, port_info_win32.cpp) finds out.

struct PortDevice {
    bool exists = false;  // false: nothing behind the name, or no hardware behind it
    std::string path;     // the device, e.g. what a link leads to
    std::string details;  // the product and its serial number, when known
};

PortDevice InspectPort(int portIndex);
// Whether a list of the ports there are shows the port: InspectPort found its
// device or, on Windows, the device map misses it (Wine's ports, some virtual
// and USB drivers) but its name leads to a device all the same: it opens, or
// another program holds it. Only such a port is opened, and closed at once.
bool PortIsThere(int portIndex, const PortDevice& device);
// DescribePort from what InspectPort found earlier, e.g. for a device now gone.
std::string DescribePort(int portIndex, const PortDevice& device);

// Processes that hold devices open, from one look at the system, taken when
// first asked.
class CDeviceHolders {
public:
    // "ModemManager (process 812)"; empty when none is visible (processes of
    // other users usually stay hidden).
    std::string HolderOf(const std::string& device);

private:
    bool m_bLooked = false;
    std::map<std::uint64_t, std::string> m_mapHolderByDevice;  // by device number
};

// True when the port is the system console, which is never opened.
bool IsSystemConsole(int portIndex);

// Why a call on `device` failed with failure.errorCode, in words a user can
// act on, e.g. "permission denied; join the dialout group, then log in again".
std::string ReasonForError(const std::string& device, const PortFailure& failure,
                           CDeviceHolders& holders);

// Sentences naming serial devices that exist but that none of COM1 to COM31
// stands for, and how to reach them; empty when there are none.
std::string DevicesOutsideTable();

// What COM1 to COM31 stand for: "COM1 to COM31 are ...".
std::string PortTable();

}  // namespace port_info

#ifdef _WIN32
// The system's own words for a Win32 error code (GetLastError), without the
// closing full stop.
std::string SystemErrorText(unsigned long code);
#endif
