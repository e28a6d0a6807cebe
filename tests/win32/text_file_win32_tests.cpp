// A save through the Win32 file interface when ReplaceFileA fails: the fake
// leaves the files as Microsoft documents for each error, on the real disk.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "text_file_platform.h"

namespace {

namespace fs = std::filesystem;

std::string FileText(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(Win32Save, EveryReplaceFailureLeavesAFileAtTheName)
{
    constexpr DWORD kSucceeds = ERROR_SUCCESS;
    constexpr int kAlways = 1000;
    const struct {
        const char* what;
        DWORD replaceError;
        int movesRefused;    // by a scanner holding the new file
        bool nameTakenAtOnce;  // by a folder, as soon as the old file has gone
        const char* left;    // the file at the target's name: "old" or "new"
        bool saved;
    } rows[] = {
        {"replaced", kSucceeds, 0, false, "new", true},
        {"the old file could not be removed (1175)", ERROR_UNABLE_TO_REMOVE_REPLACED, 0, false,
         "old", false},
        {"access denied", ERROR_ACCESS_DENIED, 0, false, "old", false},
        {"the old file deleted, the new not renamed (1176)", ERROR_UNABLE_TO_MOVE_REPLACEMENT, 0,
         false, "new", true},
        {"1176, the scanner letting go after two tries", ERROR_UNABLE_TO_MOVE_REPLACEMENT, 2,
         false, "new", true},
        {"1176, the scanner never letting go", ERROR_UNABLE_TO_MOVE_REPLACEMENT, kAlways, false,
         "new", true},
        {"the old file renamed, the new not moved (1177)", ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 0,
         false, "new", true},
        {"1176, a folder taking the name at once", ERROR_UNABLE_TO_MOVE_REPLACEMENT, 0, true,
         nullptr, false},
    };
    const fs::path folder = fs::temp_directory_path() / "zr9-win32-save";
    const fs::path target = folder / "module.zr9";
    const std::string oldText = "zr9-profile 1\nDevice Name = Old\n";
    const std::string newText = "zr9-profile 1\nDevice Name = New\n";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(folder);
        fs::create_directories(folder);
        std::ofstream(target, std::ios::binary) << oldText;

        text_file_platform::CSaveCalls calls = text_file_platform::SystemSaveCalls();
        const auto replaceFile = calls.replaceFile;
        const auto moveFile = calls.moveFile;
        calls.replaceFile = [&](const std::string& replaced, const std::string& replacement) {
            switch (row.replaceError) {
            case kSucceeds:
                return replaceFile(replaced, replacement);
            case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
                DeleteFileA(replaced.c_str());
                if (row.nameTakenAtOnce)
                    CreateDirectoryA(replaced.c_str(), nullptr);
                break;
            case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
                MoveFileA(replaced.c_str(), (folder / "system-chosen-name").string().c_str());
                break;
            }
            SetLastError(row.replaceError);
            return false;
        };
        int moves = 0;
        calls.moveFile = [&](const std::string& from, const std::string& to) {
            if (++moves > row.movesRefused)
                return moveFile(from, to);
            SetLastError(ERROR_SHARING_VIOLATION);
            return false;
        };
        std::string error;
        EXPECT_EQ(text_file_platform::SaveTextFile(target.string(), newText, error, calls),
                  row.saved)
            << error;
        int temporaryFiles = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() != ".tmp")
                continue;
            ++temporaryFiles;
            // Kept only when it holds the only copy of the new text, and said so.
            EXPECT_EQ(FileText(entry.path()), newText);
            EXPECT_NE(error.find(entry.path().filename().string()), std::string::npos) << error;
        }
        if (row.left) {
            EXPECT_EQ(FileText(target), row.left == std::string("new") ? newText : oldText);
            EXPECT_EQ(temporaryFiles, 0);
        } else {
            EXPECT_EQ(temporaryFiles, 1);
        }
    }
    fs::remove_all(folder);
}

}  // namespace
