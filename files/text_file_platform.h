// What the core of text_file.cpp asks of each platform's file
// (text_file_posix.cpp, text_file_win32.cpp), and the calls of a save that
// the tests replace to force the failures a real disk seldom shows.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace text_file_platform {

// A text file is a regular file. Anything else is refused before a byte is
// read or written: a FIFO or a terminal could keep the program waiting, and
// a save would put a plain file in the place of a device.
inline constexpr char kFolderReason[] = "it is a folder";
inline constexpr char kNotAFileReason[] = "it is not a regular file but a device or a pipe";

// The name of the temporary file a save writes before it takes the target's
// place: beside the target, so that the rename stays within one file
// system, and unpredictable, so that nobody can have prepared it.
std::string TemporaryName(const std::filesystem::path& target);

// The calls by which a save names its temporary file and puts it in place.
// Each call that fails returns false with errno (POSIX) or GetLastError()
// (Win32) saying why.
struct CSaveCalls {
    // The name to try next for the temporary file (TemporaryName).
    std::function<std::string(const std::filesystem::path& target)> temporaryName;
    // Moves a file over whatever holds the name (rename, MoveFileExA).
    std::function<bool(const std::string& from, const std::string& to)> moveFile;
    // Win32: ReplaceFileA without a backup file, keeping the replaced file's
    // attributes and access rights.
    std::function<bool(const std::string& replaced, const std::string& replacement)> replaceFile;
};

// The system's own calls.
CSaveCalls SystemSaveCalls();

// SaveTextFile through `calls`.
bool SaveTextFile(const std::string& path, const std::string& text, std::string& error,
                  const CSaveCalls& calls);

// The file's bytes appended to `text`; empty, or why not.
std::string ReadRegularFile(const std::string& path, std::string& text);

// Writes `text` to a new file beside `target` (no link) and puts it in the
// target's place; empty, or why not.
std::string ReplaceWithText(const std::filesystem::path& target, const std::string& text,
                            const CSaveCalls& calls);

}  // namespace text_file_platform
