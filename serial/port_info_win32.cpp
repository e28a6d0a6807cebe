// Windows: the device behind a port from the system's DOS device names.
#include "port_info.h"

#include <windows.h>

#include <string>

namespace port_info {

PortDevice InspectPort(int portIndex, bool findWhyUnusable)
{
    PortDevice port;
    const std::string name = "COM" + std::to_string(portIndex + 1);
    // The driver's device behind the name, e.g. \Device\Silabser0 or \Device\USBSER000.
    char target[MAX_PATH];
    if (portIndex < 0 || portIndex > 30 ||
        QueryDosDeviceA(name.c_str(), target, sizeof target) == 0)
        return port;
    port.exists = true;
    port.path = target;
    if (findWhyUnusable)
        port.unusableBecause = "in use by another program";
    return port;
}

std::string NoDeviceFound()
{
    return "No serial device found: COM1 to COM31 are not there.";
}

}  // namespace port_info
