// The module's end of the line: a pseudo-terminal whose slave is linked as
// <temporary folder>/COMn with ZR9_PORT_DIR pointing at the folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& text);

class CPtyModule {
public:
    explicit CPtyModule(int portIndex);
    ~CPtyModule();
    CPtyModule(const CPtyModule&) = delete;
    CPtyModule& operator=(const CPtyModule&) = delete;

    // Writes to the master and returns once the bytes are queued on the slave,
    // so that the next poll of the port finds them.
    void Send(const Bytes& bytes);
    void Send(const std::string& text) { Send(ToBytes(text)); }
    // Writes to the master and returns at once: for a tool that reads on
    // another thread, and may take the bytes before they could be counted.
    void SendNow(const std::string& text);

    // Bytes waiting on the slave side, not yet read by the tool.
    int Queued() const;

    // Everything the tool has written so far; waits (bounded) for `atLeast` bytes,
    // then a little longer for stragglers.
    Bytes Received(std::size_t atLeast);

    // Closes the module's end: the kernel hangs up the tool's, as when an
    // adapter is unplugged.
    void HangUp();

private:
    int m_nMaster = -1;
    // Kept open so that the line survives the tool closing its port.
    int m_nSlave = -1;
    std::string m_sDir;
    std::string m_sLink;
};
