// zr9ctl's terminal: messages on standard error, and status lines that are
// redrawn in place on a terminal and cleared before anything else is printed.
// Safe to call from several threads (a batch runs one per port).
#pragma once

#include <mutex>
#include <string>

class CConsole {
public:
    // Status lines are drawn only when standard error is a terminal.
    explicit CConsole(bool isTerminal);
    ~CConsole();
    CConsole(const CConsole&) = delete;
    CConsole& operator=(const CConsole&) = delete;

    // "zr9ctl: TEXT" on its own line; a status line shown is cleared first.
    void Message(const std::string& text);
    // Replaces the status line (on a terminal; nothing otherwise).
    void Status(const std::string& text);
    void ClearStatus();
    bool IsTerminal() const { return m_bTerminal; }

    // Ctrl+C, SIGTERM and SIGHUP (Ctrl+Break on Windows) ask every session to
    // stop (CModuleSession::RequestStop) instead of ending the process; a
    // second one ends it at once.
    static void CatchStopSignals();

private:
    void EraseStatusLocked();

    std::mutex m_mutex;
    const bool m_bTerminal;
    std::string m_strStatus;  // as drawn, empty when none is shown
};
