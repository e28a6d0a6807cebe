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

// Runs `args` (the program first) to its end, its output dropped; its exit
// status, -1 when it could not run or did not exit.
int RunQuietly(const std::vector<std::string>& args);

// The tool's device of ZR9_DEVICE_PAIR (see CSimProcess), empty without one.
std::string PairedToolDevice();

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

// ZR9_DEVICE_PAIR="TOOL MODULE [SETTINGS]" names the two ends of a null-modem
// line of real terminal devices: DIR/COMn then links to TOOL and the simulator
// serves MODULE (--device), so that the same tests run over kernel drivers.
// --line-defaults, which on a pseudo-terminal leaves the tool's side at the
// kernel's settings for a new terminal, puts TOOL back to SETTINGS (`stty -g`
// form), the driver's own, instead of being passed on.
class CSimProcess {
public:
    // Starts the simulator as DIR/COMn with further options and waits (up to
    // 10 s) until it has printed its link and slave path.
    CSimProcess(const std::string& portDir, int com, const std::vector<std::string>& options = {});
    // Starts it with just these options, for example --device PATH.
    explicit CSimProcess(const std::vector<std::string>& options);
    // Stops it if it still runs.
    ~CSimProcess();
    CSimProcess(const CSimProcess&) = delete;
    CSimProcess& operator=(const CSimProcess&) = delete;

    // True once the link and the slave path have been printed.
    bool Started() const { return !m_strSlave.empty(); }
    pid_t Pid() const { return m_pid; }
    // What the tool opens: DIR/COMn (for --device, the device as given).
    const std::string& Link() const { return m_strLink; }
    // The terminal the simulator serves.
    const std::string& Slave() const { return m_strSlave; }

    // Sends `signal` and waits for the end; returns the wait status, -1 when
    // the process had already been waited for.
    int Stop(int signal);

    static const char* Program();

private:
    // Starts `args`, ended with this process.
    void Start(std::vector<std::string> args);

    pid_t m_pid = -1;
    std::string m_strPairLink;  // made here for a device pair
    std::string m_strLink;
    std::string m_strSlave;
};
