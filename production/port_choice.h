// The port a command line or a production run names: "COMn" (1..31) as the
// window names ports (ZR9_PORT_DIR works the same), or a device path.
#pragma once

#include <string>

#include "port_failure.h"

class CPortChoice {
public:
    // False when `port` is neither.
    bool Parse(const std::string& port);
    // What a session opens: the port index, or the device when it is not empty.
    int PortIndex() const { return m_nPortIndex; }
    const std::string& Device() const { return m_strDevice; }
    // What the user gave, for every message about the port.
    const std::string& Name() const { return m_strName; }
    // True when its device may be there now (a missing port is not tried).
    bool Present() const;
    // A failure of the port in words, naming the port.
    std::string Describe(const PortFailure& failure) const;
    // The device behind the name, the same however the port is spelt
    // ("COM3", "com3", its device path, a link to it).
    std::string Identity() const;
    // The program holding the port's device ("zr9ctl (process 4242)"), or
    // empty when none is seen (on Windows, until the port is opened).
    std::string Holder() const;

private:
    // The device the port's name leads to.
    std::string DevicePath() const;

    std::string m_strName;
    std::string m_strDevice;  // empty for COMn
    int m_nPortIndex = 0;
};
