// Reading and saving text files through the Win32 file interface.
#include <windows.h>

#include <cstddef>

#include "port_info.h"
#include "text_file_platform.h"

namespace text_file_platform {

namespace {

// When ReplaceFileA has taken the old file from the target's name but could
// not move the new one there (the new file held open by a virus scanner or
// an indexer), how often and how far apart the move is tried again.
constexpr int kMoveAttempts = 10;
constexpr DWORD kMovePauseMs = 100;

// Writes `text` to the new file `name`, on disk before it returns; ERROR_SUCCESS
// or why not. A file it leaves half written is deleted.
DWORD WriteNewFile(const std::string& name, const std::string& text)
{
    const HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD code = ERROR_SUCCESS;
    for (std::size_t done = 0; code == ERROR_SUCCESS && done < text.size();) {
        DWORD written = 0;
        if (!WriteFile(file, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                       nullptr))
            code = GetLastError();
        done += written;
    }
    // On disk before it takes the name, so a crash cannot leave an empty file behind it.
    if (code == ERROR_SUCCESS && !FlushFileBuffers(file))
        code = GetLastError();
    if (!CloseHandle(file) && code == ERROR_SUCCESS)
        code = GetLastError();
    if (code != ERROR_SUCCESS)
        DeleteFileA(name.c_str());
    return code;
}

// The target's name is empty and the new text is in `temporary`: the new
// file takes the name, or the text is written there afresh; empty, or why not.
std::string MoveIntoEmptyName(const std::string& targetName, const std::string& temporary,
                              const std::string& text, const CSaveCalls& calls)
{
    for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
        if (attempt > 0)
            Sleep(kMovePauseMs);
        if (calls.moveFile(temporary, targetName))
            return {};
    }
    const DWORD code = WriteNewFile(targetName, text);
    if (code == ERROR_SUCCESS) {
        DeleteFileA(temporary.c_str());
        return {};
    }
    // The temporary file is the only copy of the new text.
    return SystemErrorText(code) + "; the new text is kept in " + temporary;
}

}  // namespace

CSaveCalls SystemSaveCalls()
{
    CSaveCalls calls;
    calls.temporaryName = TemporaryName;
    calls.moveFile = [](const std::string& from, const std::string& to) {
        return MoveFileExA(from.c_str(), to.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    };
    calls.replaceFile = [](const std::string& replaced, const std::string& replacement) {
        return ReplaceFileA(replaced.c_str(), replacement.c_str(), nullptr,
                            REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE;
    };
    return calls;
}

std::string ReadRegularFile(const std::string& path, std::string& text)
{
    // Backup semantics open a folder too, so that it can be named as one.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return SystemErrorText(GetLastError());
    std::string reason;
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file) != FILE_TYPE_DISK)
        reason = kNotAFileReason;
    else if (!GetFileInformationByHandle(file, &information))
        reason = SystemErrorText(GetLastError());
    else if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        reason = kFolderReason;
    char buffer[4096];
    while (reason.empty()) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr))
            reason = SystemErrorText(GetLastError());
        else if (got == 0)
            break;
        text.append(buffer, got);
    }
    CloseHandle(file);
    return reason;
}

// Writes `text` to a new file beside `target` and puts it in the target's
// place; empty, or why not. A file replaced keeps its attributes and access
// rights (ReplaceFile). Whatever fails, the old file or the new one has the
// target's name.
std::string ReplaceWithText(const std::filesystem::path& target, const std::string& text,
                            const CSaveCalls& calls)
{
    const std::string targetName = target.string();
    const DWORD attributes = GetFileAttributesA(targetName.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return kFolderReason;
    std::string temporary;
    DWORD code = ERROR_FILE_EXISTS;
    for (int attempt = 0; code == ERROR_FILE_EXISTS && attempt < 100; ++attempt) {
        temporary = calls.temporaryName(target);
        code = WriteNewFile(temporary, text);
    }
    if (code != ERROR_SUCCESS)
        return SystemErrorText(code);
    if (exists ? calls.replaceFile(targetName, temporary) : calls.moveFile(temporary, targetName))
        return {};
    code = GetLastError();
    switch (code) {
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
        // No backup name was given: the old file is gone, and the new one
        // still has the temporary name.
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
        // The old file has a name of the system's choosing; the new one
        // still has the temporary name.
        return MoveIntoEmptyName(targetName, temporary, text, calls);
    default:
        // ERROR_UNABLE_TO_REMOVE_REPLACED and every other failure: both
        // files keep their names, the old one is still the target.
        DeleteFileA(temporary.c_str());
        return SystemErrorText(code);
    }
}

}  // namespace text_file_platform
