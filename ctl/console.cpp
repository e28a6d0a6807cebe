#include "console.h"

#include <csignal>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "module_session.h"

namespace {

// Status lines change several times a second on each port; drawing them
// more often than this would cost a port's thread time at every step.
constexpr auto kRedrawGap = std::chrono::milliseconds(100);
// When the terminal does not say how wide it is.
constexpr std::size_t kDefaultWidth = 80;

#ifdef _WIN32
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGBREAK};
#else
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#endif

// Gives every stop signal `handler`; only calls that are safe in a signal
// handler.
void SetStopAction(void (*handler)(int))
{
#ifdef _WIN32
    for (const int signal : kStopSignals)
        std::signal(signal, handler);
#else
    struct sigaction action {};
    action.sa_handler = handler;
    // A second signal that comes while the handler runs waits for it to
    // finish, and then finds the default action.
    sigemptyset(&action.sa_mask);
    for (const int signal : kStopSignals)
        sigaddset(&action.sa_mask, signal);
    // A write that the signal interrupts (to a pipe whose reader is slow)
    // goes on instead of failing with EINTR, which would lose its text.
    action.sa_flags = SA_RESTART;
    for (const int signal : kStopSignals)
        sigaction(signal, &action, nullptr);
#endif
}

// Sets the lock-free stop request, and gives every stop signal back its
// default action, so that a second one of any kind ends the program at once.
void OnStopSignal(int)
{
    SetStopAction(SIG_DFL);
    CModuleSession::RequestStop();
}

// A line as wide as the terminal would wrap, and the cursor would no longer
// come back to its start.
std::size_t StatusWidth()
{
    std::size_t columns = 0;
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        columns = static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
#else
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0)
        columns = size.ws_col;
#endif
    return (columns > 1 ? columns : kDefaultWidth) - 1;
}

// Cursor up one line, and erase the line it is on.
const char kLineUp[] = "\x1b[1A";
const char kEraseLine[] = "\r\x1b[2K";

}  // namespace

CConsole::CConsole(bool isTerminal) : m_bTerminal(isTerminal), m_vecStatus(1)
{
#ifdef _WIN32
    // Consoles before Windows 10 know no escape sequences.
    DWORD mode = 0;
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    m_bCursorMoves = m_bTerminal && GetConsoleMode(error, &mode) &&
                     SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#endif
}

CConsole::~CConsole()
{
    ClearStatus();
}

void CConsole::Message(const std::string& text, const std::string& diagnostic)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    EraseBlockLocked();
    std::fprintf(stderr, "zr9ctl: %s\n", text.c_str());
    if (!diagnostic.empty())
        std::fprintf(stderr, "%s\n", diagnostic.c_str());
    DrawBlockLocked();
    std::fflush(stderr);
}

void CConsole::Output(const std::function<void()>& print)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    EraseBlockLocked();
    std::fflush(stderr);
    print();
    std::fflush(stdout);
    DrawBlockLocked();
    std::fflush(stderr);
}

void CConsole::SetStatusLines(std::size_t count)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    EraseBlockLocked();
    m_vecStatus.assign(count, std::string());
}

void CConsole::Status(std::size_t line, const std::string& text)
{
    if (!m_bTerminal)
        return;
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (line >= m_vecStatus.size() || m_vecStatus[line] == text)
        return;
    m_vecStatus[line] = text;
    // A change not drawn now is drawn with the next one, or with a message.
    if (std::chrono::steady_clock::now() - m_tDrawn < kRedrawGap)
        return;
    DrawBlockLocked();
    std::fflush(stderr);
}

void CConsole::ClearStatus()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    EraseBlockLocked();
    std::fflush(stderr);
    for (std::string& status : m_vecStatus)
        status.clear();
}

// Leaves the cursor at the start of the block's first line, now empty.
void CConsole::EraseBlockLocked()
{
    if (m_vecDrawn.empty())
        return;
    if (m_bCursorMoves) {
        std::fputs(kEraseLine, stderr);
        for (std::size_t line = 1; line < m_vecDrawn.size(); ++line)
            std::fprintf(stderr, "%s%s", kLineUp, kEraseLine);
    } else {
        // Blanks over the line: such a console knows no escape sequences.
        std::fprintf(stderr, "\r%s\r", std::string(m_vecDrawn[0].size(), ' ').c_str());
    }
    m_vecDrawn.clear();
}

// Draws the block over the one shown, or from the cursor's line; the cursor
// stays at the end of its last line.
void CConsole::DrawBlockLocked()
{
    if (!m_bTerminal)
        return;
    const std::size_t width = StatusWidth();
    std::vector<std::string> lines;
    bool anyText = false;
    for (const std::string& status : m_vecStatus) {
        anyText = anyText || !status.empty();
        if (m_bCursorMoves)
            lines.push_back(status.substr(0, width));
        else if (!status.empty())
            lines.assign(1, (lines.empty() ? "" : lines[0] + " | ") + status);
    }
    if (!m_bCursorMoves && !lines.empty())
        lines[0] = lines[0].substr(0, width);
    m_tDrawn = std::chrono::steady_clock::now();
    if (!anyText) {
        EraseBlockLocked();
        return;
    }
    if (lines == m_vecDrawn)
        return;
    if (m_bCursorMoves) {
        for (std::size_t line = 1; line < m_vecDrawn.size(); ++line)
            std::fputs(kLineUp, stderr);
        for (std::size_t line = 0; line < lines.size(); ++line)
            std::fprintf(stderr, "%s%s%s", line ? "\n" : "", kEraseLine, lines[line].c_str());
    } else {
        const std::size_t shown = m_vecDrawn.empty() ? 0 : m_vecDrawn[0].size();
        const std::size_t blanks = shown > lines[0].size() ? shown - lines[0].size() : 0;
        std::fprintf(stderr, "\r%s%s", lines[0].c_str(), std::string(blanks, ' ').c_str());
    }
    m_vecDrawn = lines;
}

void CConsole::CatchStopSignals()
{
    SetStopAction(OnStopSignal);
}
