// zr9batchbench: zr9ctl batch on 1, 2, 4 and 8 ports at once, against
// simulated modules paced like a real line at 9600 and at 115200 bit/s. On
// each port the next module is put on (SIGUSR1 to that port's simulator) as
// soon as the last one has taken its reboot command after its row. Prints
// figures; asserts nothing.
//   zr9batchbench [--modules M]   (M modules per port, default 10)
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_module.h"
#include "sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kBitsPerByte = 10;  // 8N1
// What one module costs on the line: connect and its answer, Read and its
// answer, Write, the read-back, and the reboot command.
constexpr int kLineBytesPerModule = (16 + 10) + (11 + 73) + 75 + (11 + 73) + 11;
constexpr int kRebootBytes = 11;
// A port whose rows stop coming for this long has stalled: the run ends there.
constexpr auto kRowTimeout = 30s;

double SecondsBetween(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double>(end - start).count();
}

double LineSeconds(int bytes, long lineRate)
{
    return static_cast<double>(bytes) * kBitsPerByte / static_cast<double>(lineRate);
}

// The module on port `port` (0-based), number `index` there: an address of
// its own, as the 12 hex characters that begin its profile.
ProfileBytes ModuleProfile(int port, int index)
{
    char address[32];
    std::snprintf(address, sizeof address, "%04X%04XBE9C", port + 1, index + 1);
    ProfileBytes record = DefaultProfile;
    std::memcpy(record.data(), address, 12);
    return record;
}

// A CSV row of the batch: the port it names (COMn) and its result, if the
// line is one.
struct Row {
    std::string m_strPort;
    bool m_bOk = false;
};

std::optional<Row> ParseRow(const std::string& line)
{
    Row row;
    std::istringstream fields(line);
    std::string field;
    bool result = false;
    while (std::getline(fields, field, ',')) {
        if (row.m_strPort.empty() && field.size() > 3 && field.rfind("COM", 0) == 0 &&
            field.find_first_not_of("0123456789", 3) == std::string::npos)
            row.m_strPort = field;
        if (field == "ok" || field == "failed") {
            row.m_bOk = field == "ok";
            result = true;
        }
    }
    if (row.m_strPort.empty() || !result)
        return std::nullopt;
    return row;
}

struct RunFigures {
    int m_nConfigured = 0;
    int m_nFailed = 0;
    double m_dWallSeconds = 0;
    double m_dCpuSeconds = 0;
    // The largest time between two rows of one port, less one module's line time.
    double m_dLargestGapSeconds = 0;
    int m_nPortsWithRows = 0;
    std::string m_strEnded;  // why zr9ctl ended early, when it did
};

// The first line of a file, for the message of a zr9ctl that ended early.
std::string FirstLine(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

RunFigures RunBatch(int ports, int modulesPerPort, long lineRate)
{
    RunFigures figures;
    CTempPortDir folder;
    setenv("ZR9_PORT_DIR", folder.Path().c_str(), 1);
    const std::string profile = folder.Path() + "/batch.zr9";
    std::ofstream(profile) << "zr9-profile 1\nBonding = yes\n";

    std::vector<std::unique_ptr<CSimProcess>> modules;
    std::vector<std::string> args = {ZR9CTL_PATH, "batch", profile, "--set",
                                     "Device Name=Bench {n}"};
    std::map<std::string, int> portOf;
    for (int port = 0; port < ports; ++port) {
        std::vector<std::string> options = {"--line-rate", std::to_string(lineRate)};
        for (int index = 0; index < modulesPerPort; ++index)
            options.insert(options.end(), {"--profile", ProfileHex(ModuleProfile(port, index))});
        modules.push_back(std::make_unique<CSimProcess>(folder.Path(), port + 1, options));
        if (!modules.back()->Started()) {
            figures.m_strEnded = "the simulated module on COM" + std::to_string(port + 1) +
                                 " did not start";
            return figures;
        }
        const std::string name = "COM" + std::to_string(port + 1);
        portOf[name] = port;
        args.insert(args.end(), {"--port", name});
    }

    const std::string output = folder.Path() + "/rows.csv";
    const std::string errors = folder.Path() + "/messages.txt";
    const Clock::time_point start = Clock::now();
    const pid_t batch = SpawnLogged(args, output, errors);
    if (batch < 0) {
        figures.m_strEnded = "zr9ctl did not start";
        return figures;
    }
    const int rows = open(output.c_str(), O_RDONLY);

    std::vector<std::vector<Clock::time_point>> rowTimes(static_cast<std::size_t>(ports));
    std::vector<int> taken(static_cast<std::size_t>(ports), 0);
    // Per port, when the module on it has taken its reboot command and the
    // next may be put on.
    std::vector<std::optional<Clock::time_point>> swapAt(static_cast<std::size_t>(ports));
    const auto rebootTime = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(LineSeconds(kRebootBytes, lineRate)) + 10ms);
    std::string pending;
    Clock::time_point lastRow = start;
    Clock::time_point lastProgress = start;
    int status = 0;
    rusage usage{};
    bool exited = false;
    while (!exited) {
        const Clock::time_point now = Clock::now();
        char chunk[4096];
        ssize_t size;
        while (rows >= 0 && (size = read(rows, chunk, sizeof chunk)) > 0)
            pending.append(chunk, static_cast<std::size_t>(size));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;
             pending.erase(0, end + 1)) {
            const std::optional<Row> row = ParseRow(pending.substr(0, end));
            if (!row || !portOf.count(row->m_strPort))
                continue;
            const auto port = static_cast<std::size_t>(portOf[row->m_strPort]);
            rowTimes[port].push_back(now);
            ++(row->m_bOk ? figures.m_nConfigured : figures.m_nFailed);
            lastRow = lastProgress = now;
            if (++taken[port] < modulesPerPort)
                swapAt[port] = now + rebootTime;
        }
        for (int port = 0; port < ports; ++port) {
            auto& due = swapAt[static_cast<std::size_t>(port)];
            if (due && *due <= now) {
                kill(modules[static_cast<std::size_t>(port)]->Pid(), SIGUSR1);
                due.reset();
            }
        }
        const bool done = std::all_of(taken.begin(), taken.end(),
                                      [&](int count) { return count >= modulesPerPort; });
        if (done || now - lastProgress > kRowTimeout)
            break;
        exited = wait4(batch, &status, WNOHANG, &usage) == batch;
        std::this_thread::sleep_for(2ms);
    }

    if (!exited) {
        kill(batch, SIGINT);
        wait4(batch, &status, 0, &usage);
    } else {
        figures.m_strEnded = "zr9ctl batch ended with status " +
                             std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                             ": " + FirstLine(errors);
    }
    if (rows >= 0)
        close(rows);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    figures.m_dCpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    figures.m_dWallSeconds = SecondsBetween(start, lastRow);
    const double lineTime = LineSeconds(kLineBytesPerModule, lineRate);
    for (const auto& times : rowTimes) {
        figures.m_nPortsWithRows += !times.empty();
        for (std::size_t i = 1; i < times.size(); ++i)
            figures.m_dLargestGapSeconds =
                std::max(figures.m_dLargestGapSeconds,
                         SecondsBetween(times[i - 1], times[i]) - lineTime);
    }
    return figures;
}

void Measure(long lineRate, int modulesPerPort)
{
    std::printf("zr9ctl batch at %ld bit/s, %d modules per port; one module's line time %.0f ms\n",
                lineRate, modulesPerPort, 1000 * LineSeconds(kLineBytesPerModule, lineRate));
    std::printf("  %5s %10s %12s %8s %14s %14s %7s\n", "ports", "modules", "per minute",
                "ratio", "CPU s/module", "largest gap", "failed");
    double onePort = 0;
    for (int ports : {1, 2, 4, 8}) {
        const RunFigures run = RunBatch(ports, modulesPerPort, lineRate);
        if (run.m_nPortsWithRows < ports) {
            // No figures for ports the batch did not serve.
            std::printf("  %5d no figures: the batch served %d of the %d ports%s%s\n", ports,
                        run.m_nPortsWithRows, ports, run.m_strEnded.empty() ? "" : "; ",
                        run.m_strEnded.c_str());
            continue;
        }
        const double perMinute =
            run.m_dWallSeconds > 0 ? 60 * run.m_nConfigured / run.m_dWallSeconds : 0;
        if (ports == 1)
            onePort = perMinute;
        char ratio[16] = "-";
        if (onePort > 0)
            std::snprintf(ratio, sizeof ratio, "%.2fx", perMinute / onePort);
        std::printf("  %5d %10d %12.1f %8s %14.4f %11.0f ms %7d\n", ports, run.m_nConfigured,
                    perMinute, ratio,
                    run.m_nConfigured > 0 ? run.m_dCpuSeconds / run.m_nConfigured : 0.0,
                    1000 * run.m_dLargestGapSeconds, run.m_nFailed);
        if (ports > 1 && onePort > 0 && perMinute < 0.9 * ports * onePort)
            std::printf("  %5s below the target of %.1fx one port\n", "", 0.9 * ports);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int modulesPerPort = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--modules") == 0 && i + 1 < argc)
            modulesPerPort = std::max(2, std::atoi(argv[++i]));
    }
    Measure(9600, modulesPerPort);
    Measure(115200, modulesPerPort);
    return 0;
}
