// The serial port: the abstract CPort, the serial port class CSerialPort and
// the program's one port, SerialPort. Results are plain integers; failures
// also write one diagnostic line to standard error (unless the port is told
// not to), and the port keeps the latest one for the user to see.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port_failure.h"
#include "serial_platform.h"

class CPort {
public:
    virtual int Open() = 0;
    virtual int Close() = 0;
    virtual int Write(const std::uint8_t* buffer, std::uint32_t length) = 0;
    virtual int Read(std::uint8_t* buffer, std::uint32_t length) = 0;

protected:
    CPort() = default;
    ~CPort() = default;

    serial_platform::Handle m_hPort = serial_platform::kInvalidHandle;
};

class CSerialPort : public CPort {
public:
    // Port index 0..30 names COM1..COM31. Parity and stop bits use the DCB codes
    // (0 none, 0 one stop bit). The port starts closed.
    CSerialPort(int portIndex, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t byteSize,
                std::uint8_t stopBits, std::uint32_t inQueue, std::uint32_t outQueue);
    ~CSerialPort();

    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // 1 open and configured, 0 failed. A device still held after a failed
    // Open is released first.
    int Open() override;
    // 1 closed (also when already closed), 0 the device could not be released.
    int Close() override;
    // Bytes written; 1 for length 0; 0 on failure.
    int Write(const std::uint8_t* buffer, std::uint32_t length) override;
    // Bytes read; -1 when fewer than `length` bytes are queued; 0 on failure
    // and on a closed port. At most kReadBufferSize bytes per call.
    int Read(std::uint8_t* buffer, std::uint32_t length) override;
    // Asks the device for its line status, as Read does first: 1 it answers,
    // 0 the port is closed or its device went away (a failure of Read).
    int CheckDevice();
    // 1 stored; 0 refused while a device is held.
    int SetPort(int portIndex);
    int PortIndex() const { return m_nPortIndex; }
    // The open device, for a caller that waits on it among other things (on
    // POSIX a descriptor that polls readable once input has come);
    // kInvalidHandle while closed.
    serial_platform::Handle DeviceHandle() const { return m_hPort; }
    // While not empty, Open opens this device instead of the port index's,
    // e.g. a path outside the names of COM1 to COM31. 1 stored; 0 refused
    // while a device is held.
    int SetDeviceName(const std::string& deviceName);
    // Whether a failure writes its diagnostic line to standard error (at
    // first it does). A caller that says failures itself, once, turns it
    // off; the line is still kept in LastFailure().
    void PrintDiagnostics(bool printed) { m_bPrintsDiagnostics = printed; }

    // The latest failure, and how many there have been: an operation that
    // compares the count before and after its calls learns whether one failed.
    const PortFailure& LastFailure() const { return m_failure; }
    std::uint32_t FailureCount() const { return m_dwFailureCount; }
    // A read or write on the open port failed in a way that says its device
    // went away (unplugged), or its driver never finished a cancel and the
    // port was abandoned; nothing more will come. Closing forgets it.
    bool DeviceGone() const { return m_bDeviceGone; }
    // The system reported the open port's device removed. It counts as gone
    // from now on, even while its stale handle still answers.
    void DeviceRemoved();

    // A read that the system defers completes into the port's own buffer, so
    // the caller's buffer need only live for one call.
    static constexpr std::uint32_t kReadBufferSize = 4096;

private:
    // What the system uses while a transfer is outstanding: the records, with
    // their events, and the buffers it writes into and reads from. They live
    // apart from the port, so that a port whose cancelled transfers never
    // finish can leave them to the system and still be destroyed.
    struct CTransfers {
        serial_platform::Overlapped m_osRead;
        serial_platform::Overlapped m_osWrite;
        std::uint8_t m_abyRead[kReadBufferSize] = {};
        std::vector<std::uint8_t> m_vecWrite;  // a copy of the bytes being written
        CTransfers();
    };
    enum class CancelOutcome { Ended, Refused, Abandoned };

    // How a failure's diagnostic line ends: the error code and a full stop,
    // the code alone, or nothing after the text.
    enum class LineEnd { CodeFullStop, Code, Text };
    // Records a failure and writes its diagnostic line, `text` followed by
    // `end`; no line when `text` is null.
    void Fail(PortOperation operation, PortStep step, std::uint32_t code, const char* text,
              LineEnd end = LineEnd::CodeFullStop);
    // The bytes waiting in the driver's input queue (ClearCommError); false
    // when the device went away, recorded as a failure of Read. A device that
    // cannot tell for another reason counts as having nothing queued.
    bool QueuedBytes(std::uint32_t& queued);
    // Cancels the outstanding transfers, discarding what a write given up
    // left queued, and waits, bounded, until each has finished. Abandoned:
    // they did not finish, and the port was abandoned as gone, a failure of
    // `operation`.
    CancelOutcome CancelTransfers(PortOperation operation);
    // Leaves the transfers and the device to the system and closes the port
    // as gone, with one diagnostic line.
    void Abandon(PortOperation operation);

    std::uint32_t m_dwBaudRate;
    std::uint32_t m_dwInQueue;
    std::uint32_t m_dwOutQueue;
    std::uint8_t m_byParity;
    std::uint8_t m_byByteSize;
    std::uint8_t m_byStopBits;
    int m_nPortIndex;
    std::string m_strDeviceName;
    bool m_bReadPending = false;
    std::unique_ptr<CTransfers> m_pTransfers;
    // A write was given up since the device was opened: the line may still
    // hold its bytes, so Close must not wait for them.
    bool m_bOutputHeld = false;
    PortFailure m_failure;
    std::uint32_t m_dwFailureCount = 0;
    bool m_bDeviceGone = false;
    bool m_bPrintsDiagnostics = true;
};

extern CSerialPort SerialPort;
