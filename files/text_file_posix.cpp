// Reading and saving text files through the POSIX file interface.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "text_file_platform.h"

namespace text_file_platform {

CSaveCalls SystemSaveCalls()
{
    CSaveCalls calls;
    calls.temporaryName = TemporaryName;
    calls.moveFile = [](const std::string& from, const std::string& to) {
        return std::rename(from.c_str(), to.c_str()) == 0;
    };
    return calls;
}

std::string ReadRegularFile(const std::string& path, std::string& text)
{
    // Not blocking: opening a FIFO that nobody writes would wait for a writer.
    // Not as the controlling terminal, should the path name a terminal.
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    std::string reason;
    struct stat information {};
    if (fstat(fd, &information) != 0)
        reason = std::strerror(errno);
    else if (S_ISDIR(information.st_mode))
        reason = kFolderReason;
    else if (!S_ISREG(information.st_mode))
        reason = kNotAFileReason;
    char buffer[4096];
    while (reason.empty()) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0)
            break;
        else if (errno != EINTR)
            reason = std::strerror(errno);
    }
    close(fd);
    return reason;
}

// Writes `text` to a new file beside `target` and renames it over the
// target; empty, or why not. A file replaced keeps its permission bits, and
// its group where the group can be kept; a new file gets the mode the umask
// gives.
std::string ReplaceWithText(const std::filesystem::path& target, const std::string& text,
                            const CSaveCalls& calls)
{
    struct stat existing {};
    const bool exists = stat(target.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT)
        return std::strerror(errno);
    if (exists && S_ISDIR(existing.st_mode))
        return kFolderReason;
    if (exists && !S_ISREG(existing.st_mode))
        return kNotAFileReason;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = calls.temporaryName(target);
        // A file that exists may hold the password and the PIN: its copy is
        // the owner's alone until it has the file's own mode.
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST)
            return std::strerror(errno);
    }
    if (fd < 0)
        return std::strerror(EEXIST);
    int code = 0;
    if (exists) {
        mode_t mode = existing.st_mode & 07777;
        struct stat created {};
        // The group's bits are meant for the file's group, and go where that
        // group cannot be kept.
        if (fstat(fd, &created) == 0 && created.st_gid != existing.st_gid &&
            fchown(fd, static_cast<uid_t>(-1), existing.st_gid) != 0)
            mode &= ~static_cast<mode_t>(S_IRWXG | S_ISGID);
        if (fchmod(fd, mode) != 0)
            code = errno;
    }
    for (std::size_t done = 0; code == 0 && done < text.size();) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written >= 0)
            done += static_cast<std::size_t>(written);
        else if (errno != EINTR)
            code = errno;
    }
    // On disk before the rename, so a crash cannot leave an empty file behind the name.
    if (code == 0 && fsync(fd) != 0)
        code = errno;
    if (close(fd) != 0 && code == 0)
        code = errno;
    if (code == 0 && !calls.moveFile(temporary, target.string()))
        code = errno;
    if (code != 0) {
        unlink(temporary.c_str());
        return std::strerror(code);
    }
    // The rename itself on disk; the file is saved either way.
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return {};
}

}  // namespace text_file_platform
