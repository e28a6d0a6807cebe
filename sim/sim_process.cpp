#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <sstream>

extern char** environ;

namespace {

// Starts `args` (the program first) with `actions`; -1 on failure.
pid_t Spawn(std::vector<std::string>& args, const posix_spawn_file_actions_t* actions)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

}  // namespace

pid_t SpawnWithOutputPipe(std::vector<std::string> args, int& outputFd, bool quietStderr)
{
    int out[2];
    if (pipe(out) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    if (quietStderr)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const pid_t pid = Spawn(args, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return -1;
    }
    outputFd = out[0];
    return pid;
}

pid_t SpawnLogged(std::vector<std::string> args, const std::string& outputPath,
                  const std::string& errorPath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (errorPath.empty())
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    const pid_t pid = Spawn(args, &actions);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

CTempPortDir::CTempPortDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "zr9-ports-XXXXXX").string();
    if (mkdtemp(pattern.data()))
        m_strPath = pattern;
}

CTempPortDir::~CTempPortDir()
{
    std::error_code ignored;
    if (!m_strPath.empty())
        std::filesystem::remove_all(m_strPath, ignored);
}

const char* CSimProcess::Program()
{
    return ZR9_MODULE_SIM_PATH;
}

namespace {

struct DevicePair {
    std::string m_strTool;
    std::string m_strModule;
    std::string m_strToolSettings;
};

std::optional<DevicePair> DevicePairFromEnvironment()
{
    const char* text = std::getenv("ZR9_DEVICE_PAIR");
    DevicePair pair;
    std::istringstream fields(text ? text : "");
    if (!(fields >> pair.m_strTool >> pair.m_strModule))
        return std::nullopt;
    fields >> pair.m_strToolSettings;
    return pair;
}

}  // namespace

int RunQuietly(const std::vector<std::string>& args)
{
    int output = -1;
    const pid_t pid = SpawnWithOutputPipe(args, output, true);
    if (pid < 0)
        return -1;
    close(output);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string PairedToolDevice()
{
    const std::optional<DevicePair> pair = DevicePairFromEnvironment();
    return pair ? pair->m_strTool : std::string();
}

CSimProcess::CSimProcess(const std::string& portDir, int com,
                         const std::vector<std::string>& options)
{
    std::vector<std::string> args = {Program()};
    const std::optional<DevicePair> pair = DevicePairFromEnvironment();
    if (pair) {
        m_strPairLink = portDir + "/COM" + std::to_string(com);
        std::error_code ignored;
        std::filesystem::remove(m_strPairLink, ignored);
        std::filesystem::create_symlink(pair->m_strTool, m_strPairLink, ignored);
        const bool lineDefaults =
            std::find(options.begin(), options.end(), "--line-defaults") != options.end();
        if (lineDefaults && !pair->m_strToolSettings.empty() &&
            RunQuietly({"/bin/stty", "-F", pair->m_strTool, pair->m_strToolSettings}) != 0)
            return;
        args.insert(args.end(), {"--device", pair->m_strModule});
        std::remove_copy(options.begin(), options.end(), std::back_inserter(args),
                         std::string("--line-defaults"));
    } else {
        args.insert(args.end(), {"--port-dir", portDir, "--com", std::to_string(com)});
        args.insert(args.end(), options.begin(), options.end());
    }
    Start(args);
}

CSimProcess::CSimProcess(const std::vector<std::string>& options)
{
    std::vector<std::string> args = {Program()};
    args.insert(args.end(), options.begin(), options.end());
    Start(args);
}

void CSimProcess::Start(std::vector<std::string> args)
{
    args.insert(args.begin() + 1, {"--parent", std::to_string(getpid())});
    int output = -1;
    m_pid = SpawnWithOutputPipe(args, output);
    if (m_pid < 0)
        return;

    // Two lines: the link, then the slave path.
    std::string printed;
    pollfd ready{output, POLLIN, 0};
    while (std::count(printed.begin(), printed.end(), '\n') < 2 &&
           poll(&ready, 1, 10'000) > 0) {
        char chunk[256];
        const ssize_t size = read(output, chunk, sizeof chunk);
        if (size <= 0)
            break;
        printed.append(chunk, static_cast<std::size_t>(size));
    }
    close(output);
    const std::size_t firstEnd = printed.find('\n');
    const std::size_t secondEnd = printed.find('\n', firstEnd + 1);
    if (firstEnd != std::string::npos && secondEnd != std::string::npos) {
        m_strLink = m_strPairLink.empty() ? printed.substr(0, firstEnd) : m_strPairLink;
        m_strSlave = printed.substr(firstEnd + 1, secondEnd - firstEnd - 1);
    }
}

CSimProcess::~CSimProcess()
{
    Stop(SIGTERM);
}

int CSimProcess::Stop(int signal)
{
    if (m_pid <= 0)
        return -1;
    kill(m_pid, signal);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    // As the simulator removes the link it made.
    if (!m_strPairLink.empty())
        unlink(m_strPairLink.c_str());
    return status;
}
