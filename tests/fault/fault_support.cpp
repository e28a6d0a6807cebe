#include "fault_support.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

long MillisecondsSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

CFaultyLine::CFaultyLine(const CPortFolder& ports, int com, const ModuleBehaviour& behaviour)
    : m_nMaster(ports.LinkNewTerminal(com)), m_strLink(ports.LinkOf(com)), m_module(behaviour)
{
    connect(&m_timer, &QTimer::timeout, this, &CFaultyLine::Poll);
    m_timer.start(1);
}

CFaultyLine::~CFaultyLine()
{
    std::filesystem::remove(m_strLink);
    close(m_nMaster);
}

void CFaultyLine::Poll()
{
    std::uint8_t buffer[256];
    ssize_t count;
    // EIO while the tool has the port closed.
    while ((count = read(m_nMaster, buffer, sizeof buffer)) > 0) {
        for (const ModuleCommand& command : m_parser.Feed(buffer, static_cast<std::size_t>(count))) {
            std::vector<std::uint8_t> answer = m_module.Execute(command);
            if (!answer.empty() && !m_bFlood)
                m_answers.push_back(
                    {Clock::now() + std::chrono::milliseconds(m_nAnswerDelayMs), std::move(answer)});
        }
    }
    std::erase_if(m_answers, [this](const Answer& answer) {
        if (answer.due > Clock::now())
            return false;
        // Lost when the tool does not hold the line, as on a real one.
        [[maybe_unused]] const ssize_t sent = write(m_nMaster, answer.bytes.data(), answer.bytes.size());
        return true;
    });
    if (m_bFlood) {
        // Anchors a line and never ends it; a full queue just drops the rest.
        static const char kFlood[] = "+FLOOD\r+0123456789abcdef\r";
        const ssize_t written = write(m_nMaster, kFlood, sizeof kFlood - 1);
        if (written > 0)
            m_nFloodedBytes += static_cast<std::size_t>(written);
    }
}

int OpenDescriptorCount()
{
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    // Less the one the listing itself holds.
    return static_cast<int>(std::distance(begin(entries), end(entries))) - 1;
}

long ResidentKib()
{
    std::ifstream statm("/proc/self/statm");
    long sizePages = 0, residentPages = 0;
    statm >> sizePages >> residentPages;
    return residentPages * (sysconf(_SC_PAGESIZE) / 1024);
}
