// The log's file on Windows: rows appended and flushed with
// FlushFileBuffers, and the lock a file beside the log held open without
// write sharing, which the system closes when the process ends however it
// ends, so that a lock file left behind by a killed run holds nothing.
#include "log_file.h"

#include <windows.h>

#include "profile_file.h"

namespace {

// "zr9ctl" or "zr9config": the program's file name without its folder and ".exe".
std::string ProgramName()
{
    char path[MAX_PATH];
    const DWORD size = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string name(path, size < MAX_PATH ? size : 0);
    name = name.substr(name.find_last_of("\\/") + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name.empty() ? "a program" : name;
}

class CWin32LogFile final : public ILogFile {
public:
    explicit CWin32LogFile(const std::string& path) : m_strPath(path), m_strLockPath(path + ".lock") {}

    ~CWin32LogFile() override
    {
        if (m_hLock != INVALID_HANDLE_VALUE) {
            CloseHandle(m_hLock);
            // Fails, as it should, when another process has opened it meanwhile.
            DeleteFileA(m_strLockPath.c_str());
        }
        if (m_hFile != INVALID_HANDLE_VALUE)
            CloseHandle(m_hFile);
    }

    bool ReadAll(std::optional<std::string>& content, std::string& error) override
    {
        content.reset();
        // Backup semantics open a folder too, so that it can be named as one.
        const HANDLE file = CreateFileA(m_strPath.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return GetLastError() == ERROR_FILE_NOT_FOUND ||
                   Fail("cannot be read", SystemErrorText(GetLastError()), error);
        std::string reason;
        BY_HANDLE_FILE_INFORMATION information{};
        // A device (NUL) has no rows of earlier runs.
        const bool disk = GetFileType(file) == FILE_TYPE_DISK;
        if (disk && !GetFileInformationByHandle(file, &information))
            reason = SystemErrorText(GetLastError());
        else if (disk && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            reason = "it is a folder";
        std::string text;
        char buffer[65536];
        while (disk && reason.empty()) {
            DWORD got = 0;
            if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr))
                reason = SystemErrorText(GetLastError());
            else if (got == 0)
                break;
            text.append(buffer, got);
        }
        CloseHandle(file);
        if (!reason.empty())
            return Fail("cannot be read", reason, error);
        if (disk)
            content = std::move(text);
        return true;
    }

    bool Lock(std::string& holder, std::string& error) override
    {
        if (m_hLock != INVALID_HANDLE_VALUE)
            return true;
        // Only a file holds rows that two processes could mix.
        const HANDLE target = CreateFileA(m_strPath.c_str(), 0,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (target != INVALID_HANDLE_VALUE) {
            const bool disk = GetFileType(target) == FILE_TYPE_DISK;
            CloseHandle(target);
            if (!disk)
                return true;
        }
        // Others may read the holder's name, nobody may write it.
        m_hLock = CreateFileA(m_strLockPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_hLock == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code != ERROR_SHARING_VIOLATION)
                return FailLock(SystemErrorText(code), error);
            holder = HolderOf(m_strLockPath);
            return false;
        }
        const std::string text = ProgramName() + " (process " +
                                 std::to_string(GetCurrentProcessId()) + ")\r\n";
        DWORD written = 0;
        if (SetFilePointer(m_hLock, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
            !SetEndOfFile(m_hLock) ||
            !WriteFile(m_hLock, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
            const DWORD code = GetLastError();
            CloseHandle(m_hLock);
            m_hLock = INVALID_HANDLE_VALUE;
            return FailLock(SystemErrorText(code), error);
        }
        return true;
    }

    bool AppendDurably(const std::string& bytes, std::string& error) override
    {
        if (m_hFile == INVALID_HANDLE_VALUE) {
            m_hFile = CreateFileA(m_strPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (m_hFile == INVALID_HANDLE_VALUE)
                return Fail("cannot be written", SystemErrorText(GetLastError()), error);
            m_bDisk = GetFileType(m_hFile) == FILE_TYPE_DISK;
        }
        for (std::size_t done = 0; done < bytes.size();) {
            DWORD written = 0;
            if (!WriteFile(m_hFile, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                           &written, nullptr))
                return Fail("cannot be written", SystemErrorText(GetLastError()), error);
            done += written;
        }
        // A device (NUL) has nothing to flush.
        if (m_bDisk && !FlushFileBuffers(m_hFile))
            return Fail("cannot be written", SystemErrorText(GetLastError()), error);
        return true;
    }

    const std::string& Path() const override { return m_strPath; }

private:
    // The holder's name as its lock file gives it.
    static std::string HolderOf(const std::string& lockPath)
    {
        std::string text;
        const HANDLE file = CreateFileA(lockPath.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char buffer[256];
            DWORD got = 0;
            if (ReadFile(file, buffer, sizeof buffer, &got, nullptr))
                text.assign(buffer, got);
            CloseHandle(file);
        }
        text = text.substr(0, text.find_first_of("\r\n"));
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
    HANDLE m_hLock = INVALID_HANDLE_VALUE;
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    bool m_bDisk = false;
};

}  // namespace

std::unique_ptr<ILogFile> OpenLogFileOnDisk(const std::string& path)
{
    return std::make_unique<CWin32LogFile>(path);
}
