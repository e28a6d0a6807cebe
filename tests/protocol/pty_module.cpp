#include "pty_module.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace {

// Generous: the machine may be busy.
constexpr auto kDeliveryLimit = std::chrono::seconds(10);
constexpr int kStragglerMs = 100;

void Require(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(what);
}

}  // namespace

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

CPtyModule::CPtyModule(int portIndex)
{
    char dirTemplate[] = "/tmp/zr9ports.XXXXXX";
    Require(mkdtemp(dirTemplate) != nullptr, "mkdtemp");
    m_sDir = dirTemplate;

    m_nMaster = posix_openpt(O_RDWR | O_NOCTTY);
    Require(m_nMaster >= 0 && grantpt(m_nMaster) == 0 && unlockpt(m_nMaster) == 0, "posix_openpt");
    const char* slaveName = ptsname(m_nMaster);
    Require(slaveName != nullptr, "ptsname");
    m_nSlave = open(slaveName, O_RDWR | O_NOCTTY);
    Require(m_nSlave >= 0, "open slave");
    // Bytes pass unchanged in both directions.
    termios settings{};
    Require(tcgetattr(m_nSlave, &settings) == 0, "tcgetattr");
    cfmakeraw(&settings);
    Require(tcsetattr(m_nSlave, TCSANOW, &settings) == 0, "tcsetattr");

    m_sLink = m_sDir + "/COM" + std::to_string(portIndex + 1);
    Require(symlink(slaveName, m_sLink.c_str()) == 0, "symlink");
    setenv("ZR9_PORT_DIR", m_sDir.c_str(), 1);
}

CPtyModule::~CPtyModule()
{
    unlink(m_sLink.c_str());
    rmdir(m_sDir.c_str());
    close(m_nSlave);
    HangUp();
}

void CPtyModule::HangUp()
{
    if (m_nMaster >= 0)
        close(m_nMaster);
    m_nMaster = -1;
}

int CPtyModule::Queued() const
{
    int count = 0;
    Require(ioctl(m_nSlave, FIONREAD, &count) == 0, "FIONREAD");
    return count;
}

void CPtyModule::Send(const Bytes& bytes)
{
    const int expected = Queued() + static_cast<int>(bytes.size());
    Require(write(m_nMaster, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
            "write master");
    const auto limit = std::chrono::steady_clock::now() + kDeliveryLimit;
    while (Queued() < expected) {
        Require(std::chrono::steady_clock::now() < limit, "bytes never reached the slave");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void CPtyModule::SendNow(const std::string& text)
{
    Require(write(m_nMaster, text.data(), text.size()) == static_cast<ssize_t>(text.size()),
            "write master");
}

Bytes CPtyModule::Received(std::size_t atLeast)
{
    Bytes received;
    const auto limit = std::chrono::steady_clock::now() + kDeliveryLimit;
    for (;;) {
        const bool waitingForMore = received.size() < atLeast;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            limit - std::chrono::steady_clock::now());
        pollfd readable{m_nMaster, POLLIN, 0};
        const int timeoutMs = waitingForMore ? static_cast<int>(std::max<long>(left.count(), 0)) : kStragglerMs;
        if (poll(&readable, 1, timeoutMs) <= 0)
            break;
        std::uint8_t chunk[256];
        const ssize_t count = read(m_nMaster, chunk, sizeof chunk);
        if (count <= 0)
            break;
        received.insert(received.end(), chunk, chunk + count);
    }
    return received;
}
