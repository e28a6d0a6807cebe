// Runs zr9-module-sim as a child process for tests and benchmarks.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starts `args` (the program first) with its standard output on a pipe and,
// when `quietStderr`, its standard error on /dev/null. Returns the pid, -1 on
// failure; `outputFd` gets the pipe's reading end (the caller closes it).
pid_t SpawnWithOutputPipe(std::vector<std::string> args, int& outputFd, bool quietStderr = false);

// Starts `args` with its standard output appended to `outputPath` and its
// standard error to `errorPath`, or to the same file when that is empty.
// Returns the pid, -1 on failure.
pid_t SpawnLogged(std::vector<std::string> args, const std::string& outputPath,
                  const std::string& errorPath = {});

// A fresh directory for port links, removed with what it holds.
class CTempPortDir {
public:
    CTempPortDir();
    ~CTempPortDir();
    CTempPortDir(const CTempPortDir&) = delete;
    CTempPortDir& operator=(const CTempPortDir&) = delete;

    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

class CSimProcess {
public:
    // Starts the simulator as DIR/COMn with further options and waits (up to
    // 10 s) until it has printed its link and slave path.
    CSimProcess(const std::string& portDir, int com, const std::vector<std::string>& options = {});
    // Stops it if it still runs.
    ~CSimProcess();
    CSimProcess(const CSimProcess&) = delete;
    CSimProcess& operator=(const CSimProcess&) = delete;

    // True once the link and the slave path have been printed.
    bool Started() const { return !m_strSlave.empty(); }
    pid_t Pid() const { return m_pid; }
    const std::string& Link() const { return m_strLink; }
    const std::string& Slave() const { return m_strSlave; }

    // Sends `signal` and waits for the end; returns the wait status, -1 when
    // the process had already been waited for.
    int Stop(int signal);

    static const char* Program();

private:
    pid_t m_pid = -1;
    std::string m_strLink;
    std::string m_strSlave;
};
