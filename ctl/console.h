// zr9ctl's terminal: messages on standard error, and a block of status lines
// (one per port) that is redrawn in place on a terminal and moved below
// anything else printed. Safe to call from several threads (a batch runs one
// per port).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class CConsole {
public:
    // Status lines are drawn only when standard error is a terminal.
    explicit CConsole(bool isTerminal);
    ~CConsole();
    CConsole(const CConsole&) = delete;
    CConsole& operator=(const CConsole&) = delete;

    // "zr9ctl: TEXT" on its own line, then `diagnostic` (the serial layer's
    // own line) on the next when not empty; the status block stays below.
    void Message(const std::string& text, const std::string& diagnostic = {});
    // Runs `print`, which writes to standard output (the same terminal, in
    // a shell), with the status block erased, and draws the block below.
    void Output(const std::function<void()>& print);
    // How many status lines the block holds (1 at first); erases the block.
    void SetStatusLines(std::size_t count);
    // Replaces status line `line` (on a terminal; nothing otherwise).
    void Status(std::size_t line, const std::string& text);
    void Status(const std::string& text) { Status(0, text); }
    // Erases the block and forgets its lines.
    void ClearStatus();
    bool IsTerminal() const { return m_bTerminal; }

    // Ctrl+C, SIGTERM and SIGHUP (Ctrl+Break on Windows) ask every session to
    // stop (CModuleSession::RequestStop) instead of ending the process; a
    // second one, of any of these kinds, ends it at once. Writes that a
    // signal interrupts go on.
    static void CatchStopSignals();

private:
    void EraseBlockLocked();
    void DrawBlockLocked();

    std::mutex m_mutex;
    const bool m_bTerminal;
    // The terminal takes cursor movement: one line per status; otherwise
    // (an old Windows console) the statuses share one line.
    bool m_bCursorMoves = true;
    std::vector<std::string> m_vecStatus;  // as asked for, one per line
    std::vector<std::string> m_vecDrawn;   // as on the screen; empty when none is shown
    std::chrono::steady_clock::time_point m_tDrawn;
};
