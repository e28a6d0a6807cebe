// Fixed device-name tables for port indices 0..30 (COM1..COM31).
#include "serial_platform.h"

namespace serial_platform {

namespace {

constexpr const char* kWindowsNames[kPortCount] = {
    "COM1",        "COM2",        "COM3",        "COM4",        "COM5",        "COM6",
    "COM7",        "COM8",        "COM9",        "\\\\.\\COM10", "\\\\.\\COM11", "\\\\.\\COM12",
    "\\\\.\\COM13", "\\\\.\\COM14", "\\\\.\\COM15", "\\\\.\\COM16", "\\\\.\\COM17", "\\\\.\\COM18",
    "\\\\.\\COM19", "\\\\.\\COM20", "\\\\.\\COM21", "\\\\.\\COM22", "\\\\.\\COM23", "\\\\.\\COM24",
    "\\\\.\\COM25", "\\\\.\\COM26", "\\\\.\\COM27", "\\\\.\\COM28", "\\\\.\\COM29", "\\\\.\\COM30",
    "\\\\.\\COM31",
};

constexpr const char* kPosixNames[kPortCount] = {
    "/dev/ttyS0",    "/dev/ttyS1",    "/dev/ttyS2",    "/dev/ttyS3",    "/dev/ttyUSB0",
    "/dev/ttyUSB1",  "/dev/ttyUSB2",  "/dev/ttyUSB3",  "/dev/ttyUSB4",  "/dev/ttyUSB5",
    "/dev/ttyUSB6",  "/dev/ttyUSB7",  "/dev/ttyUSB8",  "/dev/ttyUSB9",  "/dev/ttyUSB10",
    "/dev/ttyUSB11", "/dev/ttyUSB12", "/dev/ttyUSB13", "/dev/ttyUSB14", "/dev/ttyUSB15",
    "/dev/ttyACM0",  "/dev/ttyACM1",  "/dev/ttyACM2",  "/dev/ttyACM3",  "/dev/ttyACM4",
    "/dev/ttyACM5",  "/dev/ttyACM6",  "/dev/ttyACM7",  "/dev/ttyACM8",  "/dev/ttyACM9",
    "/dev/ttyACM10",
};

}  // namespace

const char* WindowsPortName(int portIndex)
{
    return portIndex >= 0 && portIndex < kPortCount ? kWindowsNames[portIndex] : nullptr;
}

const char* DefaultPosixPortName(int portIndex)
{
    return portIndex >= 0 && portIndex < kPortCount ? kPosixNames[portIndex] : nullptr;
}

}  // namespace serial_platform
