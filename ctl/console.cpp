#include "console.h"

#include <csignal>
#include <cstdio>

#include "module_session.h"

namespace {

// Longer lines would wrap, and the carriage return would no longer reach
// their start.
constexpr std::size_t kStatusWidth = 79;

// Only sets the lock-free stop request: safe in a signal handler.
void OnStopSignal(int)
{
    CModuleSession::RequestStop();
}

}  // namespace

CConsole::CConsole(bool isTerminal) : m_bTerminal(isTerminal) {}

CConsole::~CConsole()
{
    ClearStatus();
}

void CConsole::Message(const std::string& text)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    EraseStatusLocked();
    std::fprintf(stderr, "zr9ctl: %s\n", text.c_str());
    std::fflush(stderr);
}

void CConsole::Status(const std::string& text)
{
    if (!m_bTerminal)
        return;
    const std::lock_guard<std::mutex> lock(m_mutex);
    const std::string line = text.substr(0, kStatusWidth);
    if (line == m_strStatus)
        return;
    // Blanks over what a longer line left: a Windows console need not know
    // escape sequences.
    const std::size_t blanks =
        m_strStatus.size() > line.size() ? m_strStatus.size() - line.size() : 0;
    std::fprintf(stderr, "\r%s%s", line.c_str(), std::string(blanks, ' ').c_str());
    std::fflush(stderr);
    m_strStatus = line;
}

void CConsole::ClearStatus()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    EraseStatusLocked();
}

void CConsole::EraseStatusLocked()
{
    if (m_strStatus.empty())
        return;
    std::fprintf(stderr, "\r%s\r", std::string(m_strStatus.size(), ' ').c_str());
    std::fflush(stderr);
    m_strStatus.clear();
}

void CConsole::CatchStopSignals()
{
#ifdef _WIN32
    // The C runtime sets a handler back to the default before it runs it: a
    // second Ctrl+C ends the program at once.
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGBREAK, OnStopSignal);
#else
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Once only: a second signal ends the program at once.
    action.sa_flags = SA_RESETHAND;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
#endif
}
