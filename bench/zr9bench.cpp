// zr9bench: the tool's timings against the line-rate limits, port discovery,
// start-up, the CPU use of a connect wait, zr9ctl's read and batch loop, and
// the production window's run on eight ports against zr9ctl batch's.
// Prints figures; asserts nothing.
//   zr9bench [--repeat N] [--round-trips] [--production]
// --round-trips measures only Connect and Read; with ZR9_DEVICE_PAIR set (see
// sim_process.h) they run over real serial drivers, in tests/drivers' guest.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "application.h"
#include "connection.h"
#include "e2e_support.h"
#include "productionwindow.h"
#include "sim_process.h"
#include "tform1.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kLineRate = 9600.0;
constexpr int kBitsPerByte = 10;  // 8N1

double LineMs(int bytes)
{
    return bytes * kBitsPerByte * 1000.0 / kLineRate;
}

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void PrintSeries(const char* what, const std::vector<double>& ms)
{
    std::printf("%-44s median %8.2f ms  (min %.2f, max %.2f, n=%zu)\n", what, Median(ms),
                *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
                ms.size());
}

void PrintAgainstLimit(const char* what, const std::vector<double>& ms, int lineBytes)
{
    PrintSeries(what, ms);
    std::printf("%-44s limit  %8.2f ms  (%d bytes x 10 bits at 9600 bit/s), ratio %.2f\n", "",
                LineMs(lineBytes), lineBytes, Median(ms) / LineMs(lineBytes));
}

std::vector<double> Measure(int repeat, const std::function<void()>& prepare,
                            const std::function<void()>& action)
{
    std::vector<double> ms;
    for (int i = 0; i < repeat; ++i) {
        prepare();
        const Clock::time_point start = Clock::now();
        action();
        ms.push_back(MillisecondsSince(start));
    }
    return ms;
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void Connect(TForm1& form)
{
    PickPort(form, "COM3");
    form.btnConnect->click();
}

void RoundTrips(int repeat)
{
    CTempPortDir ports;
    setenv("ZR9_PORT_DIR", ports.Path().c_str(), 1);
    CSimProcess module(ports.Path(), 3, {"--line-rate", "9600"});
    if (!module.Started()) {
        std::printf("round trips: the simulated module did not start\n");
        return;
    }
    TForm1 form;
    form.show();
    PickPort(form, "COM3");

    const auto connects = Measure(
        repeat,
        [&] {
            if (ConnectionState == Connected)
                form.btnConnect->click();
        },
        [&] {
            form.btnConnect->click();
            if (ConnectionState != Connected)
                std::printf("  connect failed\n");
        });
    PrintAgainstLimit("Connect round trip (click to Disconnect shown)", connects, 16 + 10);

    // Read leaves its timer running; a Read started before it ticks would end
    // at that tick, so each one starts after it, as a person's clicks would.
    const auto reads = Measure(
        repeat,
        [&] {
            RunEventsUntil([&] { return !form.Timer.isActive(); }, 5000);
            form.LocalName->setText("stale");
        },
        [&] {
            form.btnRead->click();
            if (form.LocalName->text() != "BLE UART")
                std::printf("  read did not fill the fields\n");
        });
    PrintAgainstLimit("Read round trip (click to fields filled)", reads, 11 + 7 + 64 + 2);
    form.btnConnect->click();
}

void Discovery(int repeat)
{
    CTempPortDir ports;
    setenv("ZR9_PORT_DIR", ports.Path().c_str(), 1);
    TForm1 form;
    PrintSeries("Discovery, 31 absent ports",
                Measure(repeat, [] {}, [&] { form.cmbComSelDropDown(); }));
    std::vector<int> masters;
    for (int com = 1; com <= 31; ++com) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        std::filesystem::create_symlink(ptsname(master),
                                        ports.Path() + "/COM" + std::to_string(com));
        masters.push_back(master);
    }
    PrintSeries("Discovery, 31 linked pseudo-terminals",
                Measure(repeat, [] {}, [&] { form.cmbComSelDropDown(); }));
    std::printf("%-44s found %d ports\n", "", form.cmbComSel->count());
    for (int master : masters)
        close(master);
}

// Posts an event to itself every few milliseconds from a thread of its own,
// as the display connection's reader thread posts input, and records how
// long each took to be handled on the window's thread.
class CEventLatency : public QObject {
public:
    static constexpr QEvent::Type kStamped = QEvent::User;

    explicit CEventLatency(int periodMs)
        : m_thread([this, periodMs] {
              while (!m_bStop) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
                  QCoreApplication::postEvent(this, new CStamped);
              }
          })
    {
    }
    ~CEventLatency() override
    {
        m_bStop = true;
        m_thread.join();
    }

    std::vector<double> m_vecMs;

protected:
    bool event(QEvent* event) override
    {
        if (event->type() != kStamped)
            return QObject::event(event);
        m_vecMs.push_back(MillisecondsSince(static_cast<CStamped*>(event)->m_tPosted));
        return true;
    }

private:
    struct CStamped : QEvent {
        CStamped() : QEvent(kStamped) {}
        Clock::time_point m_tPosted = Clock::now();
    };
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

void ConnectWaitCpu()
{
    CTempPortDir ports;
    setenv("ZR9_PORT_DIR", ports.Path().c_str(), 1);
    CSimProcess module(ports.Path(), 3, {"--silent"});
    TForm1 form;
    form.show();
    CBoxCloser boxes;
    std::vector<double> latencies;
    const double cpuBefore = CpuSeconds();
    const Clock::time_point start = Clock::now();
    {
        CEventLatency events(20);
        Connect(form);
        latencies = events.m_vecMs;
    }
    const double wallMs = MillisecondsSince(start);
    const double cpuMs = (CpuSeconds() - cpuBefore) * 1000;
    std::printf("%-44s %8.0f ms CPU in %.0f ms (%.0f%% of one core)\n",
                "Connect wait on a silent module", cpuMs, wallMs, 100 * cpuMs / wallMs);
    if (!latencies.empty())
        PrintSeries("  an event posted meanwhile, until handled", latencies);
}

// The child of the start-up measurement: what zr9config's entry routine does,
// then one line on standard output at the window's first paint.
class CFirstPaint : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            std::printf("shown\n");
            std::fflush(stdout);
            QCoreApplication::exit(0);
        }
        return QObject::eventFilter(watched, event);
    }
};

int StartupChild(int argc, char** argv)
{
    CApplication application(argc, argv);
    TForm1 Form1;
    CFirstPaint firstPaint;
    Form1.installEventFilter(&firstPaint);
    Form1.show();
    return CApplication::exec();
}

void Startup(const char* self, int repeat)
{
    std::vector<double> ms;
    long peakKib = 0;
    for (int i = 0; i < repeat; ++i) {
        int output = -1;
        const Clock::time_point start = Clock::now();
        const pid_t pid = SpawnWithOutputPipe({self, "--startup-child"}, output, true);
        if (pid < 0)
            return;
        char line[16] = {};
        const bool shown = read(output, line, sizeof line - 1) > 0;
        const double elapsed = MillisecondsSince(start);
        close(output);
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        if (!shown) {
            std::printf("start-up: the window was not shown\n");
            return;
        }
        ms.push_back(elapsed);
        peakKib = std::max(peakKib, usage.ru_maxrss);
    }
    PrintSeries("Start-up, process start to window painted", ms);
    std::printf("%-44s %8.1f MiB peak resident memory\n", "", peakKib / 1024.0);
}

// Runs a program to its end; its exit status, -1 when it did not exit.
int RunToEnd(const std::vector<std::string>& args)
{
    int output = -1;
    const pid_t pid = SpawnWithOutputPipe(args, output, true);
    if (pid < 0)
        return -1;
    char chunk[4096];
    while (read(output, chunk, sizeof chunk) > 0) {
    }
    close(output);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void CommandLineRead(int repeat)
{
    CTempPortDir ports;
    setenv("ZR9_PORT_DIR", ports.Path().c_str(), 1);
    CSimProcess module(ports.Path(), 3, {"--line-rate", "9600"});
    const auto reads = Measure(repeat, [] {}, [] {
        if (RunToEnd({ZR9CTL_PATH, "read", "COM3"}) != 0)
            std::printf("  zr9ctl read failed\n");
    });
    PrintAgainstLimit("zr9ctl read, process start to exit", reads, 16 + 10 + 11 + 7 + 64 + 2);
    std::printf("%-44s (the read alone: %.1f ms on the line)\n", "", LineMs(11 + 7 + 64 + 2));
}

// Modules attached one after another while zr9ctl batch waits on the port,
// each with an adapter of its own (the port goes with the module and comes
// back with the next): from attaching a module to its ok row.
void CommandLineBatch(int modules)
{
    CTempPortDir ports;
    setenv("ZR9_PORT_DIR", ports.Path().c_str(), 1);
    const std::string profile = ports.Path() + "/batch.zr9";
    const std::string log = ports.Path() + "/batch.csv";
    std::FILE* file = std::fopen(profile.c_str(), "w");
    std::fputs("zr9-profile 1\nBonding = yes\n", file);
    std::fclose(file);
    // The port is there when the batch starts; its first module comes later.
    auto adapter = std::make_unique<CSimProcess>(ports.Path(), 3,
                                                 std::vector<std::string>{"--silent"});
    int output = -1;
    const pid_t batch = SpawnWithOutputPipe({ZR9CTL_PATH, "batch", profile, "--port", "COM3",
                                             "--log", log, "--set", "Device Name=Bench {n}"},
                                            output, true);
    if (batch < 0)
        return;
    auto rows = [&] {
        std::ifstream csv(log);
        int count = 0;
        for (std::string row; std::getline(csv, row);)
            count += row.find(",ok,") != std::string::npos;
        return count;
    };
    std::vector<double> ms;
    std::vector<double> probeMs;
    for (int i = 0; i < modules; ++i) {
        // The batch has noticed the last module gone and waits for the next.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        adapter.reset();
        ProfileBytes record = DefaultProfile;
        record[0] = static_cast<std::uint8_t>('A' + i);
        const std::string transcript = ports.Path() + "/module" + std::to_string(i) + ".txt";
        const Clock::time_point start = Clock::now();
        adapter = std::make_unique<CSimProcess>(
            ports.Path(), 3,
            std::vector<std::string>{"--line-rate", "9600", "--profile", ProfileHex(record),
                                     "--transcript", transcript});
        while (rows() < i + 1 && MillisecondsSince(start) < 20000)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ms.push_back(MillisecondsSince(start));
        // The transcript's first line: seconds from the module's start to the
        // first byte the batch sent it, the wait for the port's next probe.
        double firstByte = 0;
        if (std::FILE* log = std::fopen(transcript.c_str(), "r")) {
            if (std::fscanf(log, "%lf", &firstByte) == 1)
                probeMs.push_back(firstByte * 1000);
            std::fclose(log);
        }
    }
    kill(batch, SIGINT);
    waitpid(batch, nullptr, 0);
    close(output);
    // Connect, read, write, read back; the row is logged as the reboot
    // command is sent.
    const int lineBytes = (16 + 10) + (11 + 7 + 64 + 2) + 75 + (11 + 7 + 64 + 2);
    PrintAgainstLimit("zr9ctl batch, module attached to its CSV row", ms, lineBytes);
    std::vector<double> own;
    for (double total : ms)
        own.push_back(total - LineMs(lineBytes));
    PrintSeries("  the batch's own time (target median <= 200 ms)", own);
    if (probeMs.size() != ms.size())
        return;
    std::vector<double> beyond;
    for (std::size_t i = 0; i < ms.size(); ++i)
        beyond.push_back(ms[i] - probeMs[i] - LineMs(lineBytes));
    PrintSeries("  detection: attach to the first probe's byte", probeMs);
    PrintSeries("  per module beyond the line and the probe", beyond);
}

// Eight ports, each with its simulated modules at 9600 bit/s, put on one
// after another: the next as soon as the last has its row and its reboot
// command. Rows are read from the log as the run writes them.
class CEightPorts {
public:
    static constexpr int kPorts = 8;

    explicit CEightPorts(int modulesPerPort) : m_nModulesPerPort(modulesPerPort)
    {
        setenv("ZR9_PORT_DIR", m_folder.Path().c_str(), 1);
        std::ofstream(Profile()) << "zr9-profile 1\nBonding = yes\n";
        for (int port = 0; port < kPorts; ++port) {
            std::vector<std::string> options = {"--line-rate", "9600"};
            for (int index = 0; index < modulesPerPort; ++index) {
                ProfileBytes record = DefaultProfile;
                char address[32];
                std::snprintf(address, sizeof address, "%04X%04XBE9C", port + 1, index + 1);
                std::memcpy(record.data(), address, 12);
                options.insert(options.end(), {"--profile", ProfileHex(record)});
            }
            m_vecModules.push_back(std::make_unique<CSimProcess>(m_folder.Path(), port + 3, options));
        }
        m_vecTaken.assign(kPorts, 0);
        m_vecSwapAt.assign(kPorts, Clock::time_point::max());
    }

    // The run begins: modules per minute count from here.
    void MarkStart() { m_tStart = Clock::now(); }

    std::string Profile() const { return m_folder.Path() + "/bench.zr9"; }
    std::string Log() const { return m_folder.Path() + "/bench.csv"; }

    // Takes the rows written since the last call; true once every module has its row.
    bool Poll()
    {
        const Clock::time_point now = Clock::now();
        std::ifstream log(Log());
        log.seekg(static_cast<std::streamoff>(m_nRead));
        std::string line;
        while (std::getline(log, line) && !log.eof()) {
            m_nRead += line.size() + 1;
            std::vector<std::string> cells;
            std::istringstream split(line + ",");
            for (std::string cell; std::getline(split, cell, ',');)
                cells.push_back(cell);
            if (cells.size() < 8 || (cells[7] != "ok" && cells[7] != "failed") ||
                cells[1].rfind("COM", 0) != 0)
                continue;
            const int port = std::atoi(cells[1].c_str() + 3) - 3;
            if (port < 0 || port >= kPorts)
                continue;
            m_nConfigured += cells[7] == "ok";
            m_tLastRow = now;
            // The reboot command (11 bytes) leaves after the row.
            if (++m_vecTaken[port] < m_nModulesPerPort)
                m_vecSwapAt[port] = now + std::chrono::milliseconds(12 + 10);
        }
        for (int port = 0; port < kPorts; ++port)
            if (m_vecSwapAt[port] <= now) {
                kill(m_vecModules[port]->Pid(), SIGUSR1);
                m_vecSwapAt[port] = Clock::time_point::max();
            }
        return std::all_of(m_vecTaken.begin(), m_vecTaken.end(),
                           [this](int taken) { return taken >= m_nModulesPerPort; });
    }

    // Modules configured per minute, from the start to the last row.
    double PerMinute() const
    {
        const double seconds = std::chrono::duration<double>(m_tLastRow - m_tStart).count();
        return seconds > 0 ? 60 * m_nConfigured / seconds : 0;
    }
    int Configured() const { return m_nConfigured; }

private:
    CTempPortDir m_folder;
    int m_nModulesPerPort;
    std::vector<std::unique_ptr<CSimProcess>> m_vecModules;
    std::vector<int> m_vecTaken;
    std::vector<Clock::time_point> m_vecSwapAt;
    std::size_t m_nRead = 0;
    int m_nConfigured = 0;
    Clock::time_point m_tStart, m_tLastRow;
};

// The production window and zr9ctl batch, each on eight ports of fresh
// modules; while the window is set up and started, and while it runs, a
// 10 ms timer on its event loop measures the longest gap between two ticks.
void ProductionOnEightPorts(int modulesPerPort)
{
    constexpr auto kStall = std::chrono::seconds(30);
    double batchPerMinute = 0;
    {
        CEightPorts ports(modulesPerPort);
        std::vector<std::string> args = {ZR9CTL_PATH, "batch", ports.Profile(), "--log", ports.Log(),
                                         "--set", "Device Name=Bench {n}"};
        for (int port = 0; port < CEightPorts::kPorts; ++port)
            args.insert(args.end(), {"--port", "COM" + std::to_string(port + 3)});
        int output = -1;
        ports.MarkStart();
        const pid_t batch = SpawnWithOutputPipe(args, output, true);
        const Clock::time_point start = Clock::now();
        while (batch > 0 && !ports.Poll() && Clock::now() - start < kStall * 4)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        kill(batch, SIGINT);
        waitpid(batch, nullptr, 0);
        close(output);
        batchPerMinute = ports.PerMinute();
        std::printf("%-44s %8.1f modules per minute (%d configured)\n",
                    "zr9ctl batch, 8 ports at 9600 bit/s", batchPerMinute, ports.Configured());
    }

    QElapsedTimer sinceTick;
    qint64 longestGapMs = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        longestGapMs = std::max(longestGapMs, sinceTick.restart());
    });
    // The machine's own share first: the same ticks for 3 s without the window.
    sinceTick.start();
    ticks.start(10);
    RunEventsUntil([] { return false; }, 3000);
    const qint64 idleGapMs = longestGapMs;
    ticks.stop();

    CEightPorts ports(modulesPerPort);
    CProductionWindow window;
    window.show();
    QElapsedTimer refresh;
    refresh.start();
    window.RefreshPorts();
    const qint64 refreshMs = refresh.elapsed();
    // The set-up as an operator gives it, a field at a time with the checks
    // that follow each change, then Start: ticks all along.
    longestGapMs = 0;
    sinceTick.restart();
    ticks.start(10);
    const auto operatorPause = [] { RunEventsUntil([] { return false; }, 450); };
    window.UseProfileFile(QString::fromStdString(ports.Profile()));
    operatorPause();
    window.edDeviceName->setText(QStringLiteral("Bench {n}"));
    window.spnWidth->setValue(1);
    operatorPause();
    for (int row = 0; row < window.lstPorts->count(); ++row) {
        window.lstPorts->item(row)->setCheckState(Qt::Checked);
        operatorPause();
    }
    window.edLog->setText(QString::fromStdString(ports.Log()));
    // The check that follows the last change, then Start.
    RunEventsUntil([] { return false; }, 1000);
    window.btnStart->click();
    RunEventsUntil([&] { return window.Running() || window.lblCheck->text().startsWith("Not"); },
                   10000);
    ticks.stop();
    const qint64 setUpGapMs = longestGapMs;
    if (!window.Running()) {
        std::printf("production window: did not start: %s\n",
                    window.lblCheck->text().toUtf8().constData());
        return;
    }
    ports.MarkStart();
    longestGapMs = 0;
    sinceTick.restart();
    ticks.start(10);
    const Clock::time_point start = Clock::now();
    RunEventsUntil([&] { return ports.Poll() || Clock::now() - start > kStall * 4; },
                   static_cast<int>(std::chrono::milliseconds(kStall * 4).count()));
    ticks.stop();
    window.StopRun();
    RunEventsUntil([&] { return !window.Running(); }, 5000);
    std::printf("%-44s %8.1f modules per minute (%d configured), %.2f of the batch's\n",
                "production window, the same", ports.PerMinute(), ports.Configured(),
                batchPerMinute > 0 ? ports.PerMinute() / batchPerMinute : 0.0);
    std::printf("%-44s %8lld ms longest gap between two 10 ms ticks (target < 50 ms; "
                "%lld ms without the window)\n",
                "", static_cast<long long>(longestGapMs), static_cast<long long>(idleGapMs));
    std::printf("%-44s %8lld ms longest gap during the set-up, its checks and Start\n", "",
                static_cast<long long>(setUpGapMs));
    std::printf("%-44s %8lld ms Refresh of the port list (31 ports looked at)\n", "",
                static_cast<long long>(refreshMs));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--startup-child") == 0)
        return StartupChild(argc, argv);
    int repeat = 25;
    bool roundTripsOnly = false;
    bool productionOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            repeat = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--round-trips") == 0)
            roundTripsOnly = true;
        else if (std::strcmp(argv[i], "--production") == 0)
            productionOnly = true;
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Start-up first, while this process is still small.
    if (!roundTripsOnly && !productionOnly)
        Startup(argv[0], repeat);

    CApplication application(argc, argv);
    // Every port that is not there writes its diagnostic line; the figures
    // are the output.
    CStderrCapture diagnostics;
    std::printf("Qt platform: %s; %d runs each\n",
                QGuiApplication::platformName().toUtf8().constData(), repeat);
    if (productionOnly) {
        ProductionOnEightPorts(repeat);
        return 0;
    }
    RoundTrips(repeat);
    if (!roundTripsOnly) {
        Discovery(repeat);
        ConnectWaitCpu();
        CommandLineRead(repeat);
        CommandLineBatch(std::min(repeat, 8));
        ProductionOnEightPorts(std::min(repeat, 10));
    }
    return 0;
}
