// zr9ctl: the command line for technicians. Reads, writes and reboots ZR9
// modules with the window's own protocol code, keeps profiles as files and
// configures modules in batches. Messages go to standard error, data to
// standard output; the exit status says what failed (ExitStatus).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "batch.h"
#include "console.h"
#include "port_info.h"
#include "port_watch.h"
#include "profile_file.h"
#include "run_log.h"
#include "templates.h"
#include "text_file.h"
#include "zr9ctl.h"

namespace {

const char kUsage[] =
    "usage: zr9ctl COMMAND [ARGUMENTS]\n"
    "Reads, writes and reboots ZR9 Bluetooth-to-UART modules; keeps profiles as files.\n"
    "\n"
    "  ports                                  the ports that open now, and why others do not\n"
    "  ports --watch                          a line each time a port appears or disappears\n"
    "  read PORT [-o FILE]                    print the module's profile (or save it as FILE)\n"
    "  write PORT FILE [--set NAME=VALUE]...  write a profile, then read it back to verify\n"
    "  reboot PORT                            reboot the module\n"
    "  batch FILE --port PORT [--log CSV]     configure one module after another\n"
    "  --version                              print zr9ctl's version\n"
    "\n"
    "PORT is COM1 to COM31 as in zr9config, or a device path. Every command that talks to\n"
    "a module takes --password PWD (default 6874). \"zr9ctl COMMAND --help\" tells more.\n"
    "Ctrl+C, SIGTERM or SIGHUP ends a command at its next wait and closes the port; a\n"
    "second one ends zr9ctl at once.\n"
    "Exit status: 0 success, 1 the module refused or did not answer (or a write or\n"
    "read on the open port failed), 2 usage or file error (nothing was written), 3 the\n"
    "port could not be opened (for ports: none opened), 4 ended by a signal.\n";

// Per command: its synopsis and options.
const std::map<std::string, const char*> kCommandHelp = {
    {"ports",
     "usage: zr9ctl ports [--watch]\n"
     "Lists the ports that open now, one a line, with the device behind each, then\n"
     "the reasons why devices that exist did not open. Exit status 0 when a port\n"
     "opened, 3 when none did.\n"
     "With --watch it opens no port: it lists the ports present, then prints a line\n"
     "each time one appears or disappears, beginning \"present\", \"appeared\" or\n"
     "\"disappeared\", then the port and its device (on Linux with a USB adapter's\n"
     "product and serial number). It runs until Ctrl+C or SIGTERM (exit status 0).\n"},
    {"read",
     "usage: zr9ctl read PORT [--password PWD] [-o FILE]\n"
     "Connects, reads the module's profile and prints it in the profile file format,\n"
     "or writes it to FILE (atomically), then disconnects.\n"},
    {"write",
     "usage: zr9ctl write PORT FILE [--password PWD] [--set NAME=VALUE]... [--first N]\n"
     "                    [--no-verify] [--reboot] [--keep-file-address]\n"
     "Connects, reads the module, sets the fields FILE names and those of each --set\n"
     "(a line of a profile file, e.g. --set \"Device Name=Pump {addr3}\"), writes the\n"
     "profile, reads it back and compares (unless --no-verify), then reboots the\n"
     "module with --reboot. FILE - sets no field: only the --set values are written.\n"
     "Placeholders in --set: {n} the counter (--first, default 1), {addr} the module's\n"
     "own address as 12 characters, {addr3} its last 3 pairs.\n"
     "A Local Address in FILE that is not the module's own is refused (exit status 2,\n"
     "nothing written): two modules with one address disturb each other. Give\n"
     "--keep-file-address to write it all the same, or --set \"Local Address=...\".\n"},
    {"reboot",
     "usage: zr9ctl reboot PORT [--password PWD]\n"
     "Connects and sends the module the reboot command.\n"},
    {"batch",
     "usage: zr9ctl batch FILE --port PORT [--port PORT]... [--password PWD]\n"
     "                    [--set NAME=VALUE]... [--first N] [--log CSV] [--count N]\n"
     "                    [--dry-run] [--new-settings]\n"
     "For one module after another on each PORT (a thread each, the port held open\n"
     "for the whole run): waits until a module answers, reads it, writes FILE's\n"
     "fields and the --set values, verifies, reboots it and logs it to CSV\n"
     "(standard output without --log), then waits until it is taken off.\n"
     "--port A,B names two ports, as --port A --port B does.\n"
     "The log has a row per step that matters (time, port, n, local address, new\n"
     "address, firmware, device name, result, reason): \"writing\" before a module\n"
     "is written, then \"ok\" or \"failed\", each on the disk before the next step,\n"
     "so that after a kill or a power cut no two modules get one n. It records the\n"
     "run's settings (FILE's fields, --set, --first): resuming it with others is\n"
     "refused unless --new-settings says they are meant. One zr9ctl at a time per\n"
     "log and per port.\n"
     "Each module is configured once: one this run or the log configured (its\n"
     "address, and the profile it was given) is not configured again; one that\n"
     "failed is tried again once it was taken off. A module given a new password\n"
     "is known by it after its reboot. Each module keeps its own Local Address\n"
     "unless --set gives one; modules that share an address are said.\n"
     "{n} counts from --first (--first 001 counts 001, 002, ...; a resumed log\n"
     "keeps its own), the lowest number not given yet, so that none is skipped;\n"
     "{addr} and {addr3} are as for write. --count N ends the run once N modules\n"
     "are configured. --dry-run checks FILE, the values, the ports and the log,\n"
     "shows the names the next modules would get and sends nothing.\n"
     "A port where three modules in a row refuse the password stops. Ctrl+C,\n"
     "SIGTERM or SIGHUP end the run with a summary that lists the modules not\n"
     "configured. Exit status 0 when every module the run met was configured, 1\n"
     "when one was not (or the log could not be written, or no port could go on),\n"
     "2 for an option, FILE or log that does not fit, 3 for a port missing or in\n"
     "use at the start; nothing is sent with 2 or 3.\n"},
};

const char kDefaultPassword[] = "6874";

struct Arguments {
    std::string m_strCommand;
    std::vector<std::string> m_vecPositional;
    std::map<std::string, std::string> m_mapOptions;
    std::vector<std::string> m_vecSettings;
    std::vector<std::string> m_vecPorts;  // batch's --port, one per port
};

class CUsageError {
public:
    explicit CUsageError(std::string text) : m_strText(std::move(text)) {}
    const std::string& Text() const { return m_strText; }

private:
    std::string m_strText;
};

bool StderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

// The options each command takes; true for those with a value.
const std::map<std::string, std::map<std::string, bool>> kCommandOptions = {
    {"ports", {{"--watch", false}}},
    {"read", {{"--password", true}, {"-o", true}}},
    {"write",
     {{"--password", true}, {"--set", true}, {"--first", true}, {"--no-verify", false},
      {"--reboot", false}, {"--keep-file-address", false}}},
    {"reboot", {{"--password", true}}},
    {"batch",
     {{"--password", true}, {"--set", true}, {"--first", true}, {"--port", true},
      {"--log", true}, {"--count", true}, {"--dry-run", false}, {"--new-settings", false}}},
};

Arguments ParseArguments(int argc, char** argv)
{
    Arguments arguments;
    arguments.m_strCommand = argv[1];
    const auto options = kCommandOptions.find(arguments.m_strCommand);
    if (options == kCommandOptions.end())
        throw CUsageError("unknown command \"" + arguments.m_strCommand + "\"");
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') {
            arguments.m_vecPositional.push_back(arg);
            continue;
        }
        std::optional<std::string> value;
        // --name=value as well as --name value.
        const std::size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.erase(equals);
        }
        const auto option = options->second.find(arg);
        if (option == options->second.end())
            throw CUsageError(arguments.m_strCommand + " takes no option " + arg);
        if (option->second && !value) {
            if (i + 1 >= argc)
                throw CUsageError(arg + " needs a value");
            value = argv[++i];
        } else if (!option->second && value) {
            throw CUsageError(arg + " takes no value");
        }
        if (arg == "--set")
            arguments.m_vecSettings.push_back(*value);
        else if (arg == "--port")
            arguments.m_vecPorts.push_back(*value);
        else if (arguments.m_mapOptions.count(arg))
            throw CUsageError(arg + " is given twice");
        else
            arguments.m_mapOptions[arg] = value.value_or("");
    }
    return arguments;
}

std::string Option(const Arguments& arguments, const std::string& name,
                   const std::string& fallback = "")
{
    const auto found = arguments.m_mapOptions.find(name);
    return found == arguments.m_mapOptions.end() ? fallback : found->second;
}

void ExpectPositional(const Arguments& arguments, std::size_t count, const char* what)
{
    if (arguments.m_vecPositional.size() != count)
        throw CUsageError(arguments.m_strCommand + " needs " + what);
}

CPortChoice PortArgument(const std::string& port)
{
    CPortChoice choice;
    if (!choice.Parse(port))
        throw CUsageError("\"" + port + "\" is no port: give COM1 to COM31 or a device path");
    return choice;
}

// The password as the window's Config Password field takes it.
std::string PasswordOption(const Arguments& arguments)
{
    CProfileSettings settings;
    std::string error;
    if (!settings.Parse(std::string("Config Password = ") +
                            Option(arguments, "--password", kDefaultPassword),
                        error))
        throw CUsageError("--password: " + error);
    return settings.Values().CfgPwd;
}

// --first as given: its digits are {n}'s width.
std::string FirstOption(const Arguments& arguments)
{
    const std::string first = Option(arguments, "--first", "1");
    if (first.empty() || first.size() > 9 ||
        first.find_first_not_of("0123456789") != std::string::npos)
        throw CUsageError("--first takes a number, e.g. 1 or 001");
    return first;
}

Placeholders CounterOption(const Arguments& arguments)
{
    const std::string first = FirstOption(arguments);
    Placeholders placeholders;
    placeholders.m_nCounter = std::stol(first);
    placeholders.m_nWidth = static_cast<int>(first.size());
    return placeholders;
}

// Says why a command failed; the progress line is gone by then.
int Report(CConsole& console, const StepResult& result)
{
    console.Message(result.m_strMessage);
    return ExitStatusOf(result);
}

// A bar on the terminal while a step waits for the module: how much of the
// wait's period has passed.
void ShowWaits(CModuleSession& session, CConsole& console, const std::string& activity)
{
    if (!console.IsTerminal())
        return;
    session.ObserveWaits([&console, activity](std::chrono::milliseconds waited,
                                              std::chrono::milliseconds period) {
        constexpr std::size_t kBarWidth = 30;
        const auto filled = std::min<std::size_t>(
            kBarWidth, static_cast<std::size_t>(waited * kBarWidth / period));
        console.Status("[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') +
                       "] " + activity);
    });
}

int Read(CConsole& console, const Arguments& arguments)
{
    ExpectPositional(arguments, 1, "PORT");
    const CPortChoice port = PortArgument(arguments.m_vecPositional[0]);
    const std::string password = PasswordOption(arguments);
    const std::string output = Option(arguments, "-o");

    CModuleSession session(port.PortIndex(), port.Device());
    ShowWaits(session, console, "reading the module on " + port.Name());
    ProfileBytes record{};
    const StepResult result = ConnectAndRead(session, port, password, record);
    session.Close();
    console.ClearStatus();
    if (!result.Ok())
        return Report(console, result);

    ProfileView view;
    DecodeProfileRecord(record, view);
    std::string text = FormatProfileText(view);
    // The record of where and when, after the format line.
    text.insert(text.find('\n') + 1, "# read from " + port.Name() + " (firmware " +
                                         session.Version().Text() + ") at " +
                                         LocalTimeText() + "\n");
    if (output.empty()) {
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0 ? kExitSuccess : kExitUsage;
    }
    std::string error;
    if (!SaveTextFile(output, text, error)) {
        console.Message(error);
        return kExitUsage;
    }
    return kExitSuccess;
}

CProfileSettings ProfileArgument(const std::string& path)
{
    CProfileSettings settings;
    std::string error;
    if (path != "-" && !LoadProfileFile(path, settings, error))
        throw CUsageError(error);
    return settings;
}

// --set values that cannot hold for any module are refused before any is
// touched. Returns why values stop fitting at a later counter (empty: never).
std::string CheckSettings(const Arguments& arguments, const Placeholders& placeholders)
{
    std::string error;
    if (!CheckPlaceholders(arguments.m_vecSettings, error))
        throw CUsageError("--set " + error);
    const long failing = FirstCounterThatFails(arguments.m_vecSettings, placeholders, error);
    if (failing == placeholders.m_nCounter)
        throw CUsageError("--set " + error);
    return failing == 0 ? std::string() : "--set " + error;
}

// True when `view` would give the module another module's address: a Local
// Address that only the file sets, without --keep-file-address.
bool TakesAnotherAddress(const Arguments& arguments, const CProfileSettings& profile,
                         const Placeholders& placeholders, const ProfileView& module,
                         const ProfileView& view)
{
    if (arguments.m_mapOptions.count("--keep-file-address") ||
        StoredAddressOf(view) == LocalAddressOf(module))
        return false;
    // Without the file's address, --set alone decides: one it gives is meant.
    CProfileSettings withoutAddress = profile;
    withoutAddress.Forget(ProfileField::LocalAddress);
    ProfileView bySet = module;
    withoutAddress.ApplyTo(bySet);
    std::string ignored;
    ApplySettings(arguments.m_vecSettings, placeholders, module, bySet, ignored);
    return StoredAddressOf(bySet) == LocalAddressOf(module);
}

int Write(CConsole& console, const Arguments& arguments)
{
    ExpectPositional(arguments, 2, "PORT and FILE");
    const CPortChoice port = PortArgument(arguments.m_vecPositional[0]);
    const CProfileSettings profile = ProfileArgument(arguments.m_vecPositional[1]);
    const std::string password = PasswordOption(arguments);
    const Placeholders placeholders = CounterOption(arguments);
    CheckSettings(arguments, placeholders);
    const bool verify = !arguments.m_mapOptions.count("--no-verify");
    const bool reboot = arguments.m_mapOptions.count("--reboot") != 0;

    CModuleSession session(port.PortIndex(), port.Device());
    ShowWaits(session, console, "writing the module on " + port.Name());
    ProfileBytes record{};
    StepResult result = ConnectAndRead(session, port, password, record);
    ProfileView module;
    DecodeProfileRecord(record, module);
    ProfileView view = module;
    if (result.Ok()) {
        profile.ApplyTo(view);
        std::string error;
        if (!ApplySettings(arguments.m_vecSettings, placeholders, module, view, error))
            result = {false, SessionOutcome::Done, "--set " + error,
                      port.Name() + ": --set " + error};
    }
    if (result.Ok() && TakesAnotherAddress(arguments, profile, placeholders, module, view)) {
        session.Close();
        console.ClearStatus();
        console.Message(port.Name() + ": the file gives Local Address " + StoredAddressOf(view) +
                        ", the module's own is " + LocalAddressOf(module) +
                        "; nothing written (two modules with one address disturb each other: "
                        "--keep-file-address writes it all the same, --set \"Local "
                        "Address=...\" gives another)");
        return kExitUsage;
    }
    if (result.Ok())
        result = WriteProfile(session, port, view, verify);
    if (result.Ok() && reboot)
        result = ResultOf(session.Reboot(), session, port, "Reboot");
    session.Close();
    console.ClearStatus();
    if (!result.Ok())
        return Report(console, result);
    console.Message(port.Name() + ": " + LocalAddressOf(module) + ": profile written" +
                    (verify ? " and verified" : "") + (reboot ? ", module rebooted" : ""));
    return kExitSuccess;
}

int Reboot(CConsole& console, const Arguments& arguments)
{
    ExpectPositional(arguments, 1, "PORT");
    const CPortChoice port = PortArgument(arguments.m_vecPositional[0]);
    const std::string password = PasswordOption(arguments);
    CModuleSession session(port.PortIndex(), port.Device());
    ShowWaits(session, console, "connecting on " + port.Name());
    StepResult result = ResultOf(session.Connect(password), session, port, "Connect");
    if (result.Ok())
        result = ResultOf(session.Reboot(), session, port, "Reboot");
    session.Close();
    console.ClearStatus();
    if (!result.Ok())
        return Report(console, result);
    console.Message(port.Name() + ": module rebooted (firmware " + session.Version().Text() + ")");
    return kExitSuccess;
}

// Probes COM1 to COM31 as the port list does, except names that lead to no
// device. The ports are the data; why others did not open is a message.
// --watch opens none: it reports ports as they come and go.
int Ports(CConsole& console, const Arguments& arguments)
{
    ExpectPositional(arguments, 0, "no arguments");
    if (arguments.m_mapOptions.count("--watch")) {
        CConsole::CatchStopSignals();
        return WatchPorts(CModuleSession::StopRequested) ? kExitSuccess : kExitUsage;
    }
    const port_info::PortSurvey survey = port_info::SurveyPorts(
        [](int portIndex) { std::printf("%s\n", port_info::DescribePort(portIndex).c_str()); },
        port_info::SurveyScope::PresentPorts);
    std::fflush(stdout);
    const std::string reasons = port_info::DescribeSurvey(survey, -1);
    if (!reasons.empty())
        console.Message(reasons);
    return survey.openedPortIndexes.empty() ? kExitPortFailed : kExitSuccess;
}

int Batch(CConsole& console, const Arguments& arguments)
{
    ExpectPositional(arguments, 1, "FILE");
    RunOptions options;
    if (arguments.m_vecPorts.empty())
        throw CUsageError("batch needs --port PORT");
    // --port A,B as well as --port A --port B.
    for (const std::string& names : arguments.m_vecPorts) {
        std::size_t start = 0;
        for (std::size_t comma; (comma = names.find(',', start)) != std::string::npos;
             start = comma + 1)
            options.m_vecPorts.push_back(PortArgument(names.substr(start, comma - start)));
        options.m_vecPorts.push_back(PortArgument(names.substr(start)));
    }
    options.m_profile = ProfileArgument(arguments.m_vecPositional[0]);
    options.m_strPassword = PasswordOption(arguments);
    options.m_vecSettings = arguments.m_vecSettings;
    if (arguments.m_mapOptions.count("--first"))
        options.m_strFirst = FirstOption(arguments);
    options.m_strLogPath = Option(arguments, "--log");
    const std::string count = Option(arguments, "--count", "0");
    if (count.empty() || count.size() > 9 ||
        count.find_first_not_of("0123456789") != std::string::npos ||
        (arguments.m_mapOptions.count("--count") && std::stol(count) == 0))
        throw CUsageError("--count takes a number of modules, e.g. 40");
    options.m_nTarget = std::stol(count);
    options.m_bNewSettingsMeant = arguments.m_mapOptions.count("--new-settings") != 0;
    return RunBatch(console, std::move(options), arguments.m_mapOptions.count("--dry-run") != 0);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitUsage : kExitSuccess;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("zr9ctl %s\n", ZR9_VERSION);
        return kExitSuccess;
    }
    for (int i = 2; i < argc; ++i) {
        if ((std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) &&
            kCommandHelp.count(argv[1])) {
            std::fputs(kCommandHelp.at(argv[1]), stdout);
            return kExitSuccess;
        }
    }

    CConsole console(StderrIsTerminal());
    try {
        const Arguments arguments = ParseArguments(argc, argv);
        if (arguments.m_strCommand == "ports")
            return Ports(console, arguments);
        // What talks to a module ends at its next wait on a signal, and
        // closes its port through the bounded close.
        CConsole::CatchStopSignals();
        if (arguments.m_strCommand == "read")
            return Read(console, arguments);
        if (arguments.m_strCommand == "write")
            return Write(console, arguments);
        if (arguments.m_strCommand == "reboot")
            return Reboot(console, arguments);
        return Batch(console, arguments);
    } catch (const CUsageError& error) {
        console.Message(error.Text());
        if (kCommandHelp.count(argv[1]))
            std::fprintf(stderr, "zr9ctl: \"zr9ctl %s --help\" tells what it takes\n", argv[1]);
        else
            std::fputs(kUsage, stderr);
        return kExitUsage;
    }
}
