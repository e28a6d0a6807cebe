// The serial port: the abstract CPort, the serial port class CSerialPort and
// the program's one port, SerialPort. Results are plain integers; failures
// also write one diagnostic line to standard error.
#pragma once

#include <cstdint>

class CPort {
public:
    virtual int Open() = 0;
    virtual int Close() = 0;
    virtual int Write(const std::uint8_t* buffer, std::uint32_t length) = 0;
    virtual int Read(std::uint8_t* buffer, std::uint32_t length) = 0;

protected:
    CPort() = default;
    ~CPort() = default;
};

class CSerialPort : public CPort {
public:
    // Port index 0..30 names COM1..COM31. Parity and stop bits use the DCB codes
    // (0 none, 0 one stop bit). The port starts closed.
    CSerialPort(int portIndex, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t byteSize,
                std::uint8_t stopBits, std::uint32_t inQueue, std::uint32_t outQueue);
    ~CSerialPort();

    // 1 open and configured, 0 failed.
    int Open() override;
    // 1 closed (also when already closed), 0 the device could not be released.
    int Close() override;
    // Bytes written; 1 for length 0; 0 on failure.
    int Write(const std::uint8_t* buffer, std::uint32_t length) override;
    // Bytes read; -1 when fewer than `length` bytes are queued; 0 on failure.
    int Read(std::uint8_t* buffer, std::uint32_t length) override;
    // 1 stored; 0 refused while a device is held.
    int SetPort(int portIndex);

    // (fields: completed by the serial layer)
};

extern CSerialPort SerialPort;
