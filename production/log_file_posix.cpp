// The log's file on POSIX: rows appended with O_APPEND and fsync, and the
// lock a file beside the log under flock, which the kernel lets go when the
// process ends however it ends, so that a lock file left behind by a killed
// run holds nothing.
#include "log_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string ProgramName()
{
#if defined(__linux__)
    return program_invocation_short_name;
#else
    return getprogname();
#endif
}

class CPosixLogFile final : public ILogFile {
public:
    explicit CPosixLogFile(const std::string& path) : m_strPath(path), m_strLockPath(path + ".lock") {}

    ~CPosixLogFile() override
    {
        // Removed while still locked: a process that opened it meanwhile
        // finds its lock on a file that no longer has the name, and opens again.
        if (m_fdLock >= 0) {
            unlink(m_strLockPath.c_str());
            close(m_fdLock);
        }
        if (m_fd >= 0)
            close(m_fd);
    }

    bool ReadAll(std::optional<std::string>& content, std::string& error) override
    {
        content.reset();
        // Not blocking: opening a FIFO that nobody writes would wait for a writer.
        const int fd = open(m_strPath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return errno == ENOENT || Fail("cannot be read", std::strerror(errno), error);
        struct stat information {};
        std::string reason;
        if (fstat(fd, &information) != 0)
            reason = std::strerror(errno);
        else if (S_ISDIR(information.st_mode))
            reason = "it is a folder";
        // A device or a pipe (/dev/null) has no rows of earlier runs.
        std::string text;
        char buffer[65536];
        while (reason.empty() && S_ISREG(information.st_mode)) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0)
                text.append(buffer, static_cast<std::size_t>(got));
            else if (got == 0)
                break;
            else if (errno != EINTR)
                reason = std::strerror(errno);
        }
        close(fd);
        if (!reason.empty())
            return Fail("cannot be read", reason, error);
        if (S_ISREG(information.st_mode))
            content = std::move(text);
        return true;
    }

    bool Lock(std::string& holder, std::string& error) override
    {
        if (m_fdLock >= 0)
            return true;
        // Only a file holds rows that two processes could mix.
        struct stat information {};
        if (stat(m_strPath.c_str(), &information) == 0 && !S_ISREG(information.st_mode))
            return true;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const int fd = open(m_strLockPath.c_str(),
                                O_RDWR | O_CREAT | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0)
                return FailLock(std::strerror(errno), error);
            if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
                const int code = errno;
                if (code == EWOULDBLOCK)
                    holder = HolderOf(fd);
                close(fd);
                return code == EWOULDBLOCK ? false : FailLock(std::strerror(code), error);
            }
            struct stat locked {};
            struct stat named {};
            if (fstat(fd, &locked) == 0 && stat(m_strLockPath.c_str(), &named) == 0 &&
                locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
                const std::string text =
                    ProgramName() + " (process " + std::to_string(getpid()) + ")\n";
                if (ftruncate(fd, 0) != 0 ||
                    pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
                    const int code = errno;
                    close(fd);
                    return FailLock(std::strerror(code), error);
                }
                m_fdLock = fd;
                return true;
            }
            close(fd);
        }
        return FailLock("it keeps being replaced", error);
    }

    bool AppendDurably(const std::string& bytes, std::string& error) override
    {
        if (m_fd < 0) {
            m_fd = open(m_strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
            if (m_fd < 0)
                return Fail("cannot be written", std::strerror(errno), error);
            struct stat information {};
            m_bRegular = fstat(m_fd, &information) == 0 && S_ISREG(information.st_mode);
            m_bNew = m_bRegular && information.st_size == 0;
        }
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t written = write(m_fd, bytes.data() + done, bytes.size() - done);
            if (written >= 0)
                done += static_cast<std::size_t>(written);
            else if (errno != EINTR)
                return Fail("cannot be written", std::strerror(errno), error);
        }
        // A device or a pipe has nothing to sync (and says EINVAL).
        if (m_bRegular && fsync(m_fd) != 0)
            return Fail("cannot be written", std::strerror(errno), error);
        if (m_bNew) {
            // The new file's name on the disk too.
            const std::filesystem::path path(m_strPath);
            const std::string folder = path.has_parent_path() ? path.parent_path().string() : ".";
            const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0) {
                fsync(fd);
                close(fd);
            }
            m_bNew = false;
        }
        return true;
    }

    const std::string& Path() const override { return m_strPath; }

private:
    // The holder's name as its lock file gives it.
    static std::string HolderOf(int fd)
    {
        char buffer[256];
        const ssize_t got = pread(fd, buffer, sizeof buffer, 0);
        std::string text(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
        text = text.substr(0, text.find('\n'));
        return text.empty() ? "another process" : text;
    }

    bool Fail(const char* what, const std::string& reason, std::string& error) const
    {
        error = m_strPath + ": the log " + what + ": " + reason;
        return false;
    }

    bool FailLock(const std::string& reason, std::string& error) const
    {
        error = m_strPath + ": the log cannot be locked (" + m_strLockPath + "): " + reason;
        return false;
    }

    const std::string m_strPath;
    const std::string m_strLockPath;
    int m_fdLock = -1;
    int m_fd = -1;
    bool m_bRegular = false;
    bool m_bNew = false;  // its name is not yet synced
};

}  // namespace

std::unique_ptr<ILogFile> OpenLogFileOnDisk(const std::string& path)
{
    return std::make_unique<CPosixLogFile>(path);
}
