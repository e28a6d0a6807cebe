// A save through the Win32 file interface when ReplaceFileA fails: the fake
// leaves the files as Microsoft documents for each error, on the real disk.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "text_file_platform.h"

namespace {

namespace fs = std::filesystem;

TEST(Win32Save, EveryReplaceFailureLeavesAFileAtTheName)
{
    constexpr DWORD kSucceeds = ERROR_SUCCESS, k1176 = ERROR_UNABLE_TO_MOVE_REPLACEMENT;
    const struct {
        const char* what;
        DWORD replaceError;
        int movesRefused;      // by a scanner holding the new file
        bool nameTakenAtOnce;  // by a folder, as soon as the old file has gone
        char left;             // at the target's name: 'o'ld, 'n'ew, or 0: nothing
    } rows[] = {
        {"replaced", kSucceeds, 0, false, 'n'},
        {"the old file not removed (1175)", ERROR_UNABLE_TO_REMOVE_REPLACED, 0, false, 'o'},
        {"the old file deleted, the new not moved (1176)", k1176, 0, false, 'n'},
        {"1176, the scanner letting go after two tries", k1176, 2, false, 'n'},
        {"1176, the scanner never letting go", k1176, 1000, false, 'n'},
        {"the old file renamed (1177)", ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 0, false, 'n'},
        {"1176, a folder taking the name at once", k1176, 0, true, 0},
    };
    const auto fileText = [](const fs::path& file) {
        return std::string(std::istreambuf_iterator<char>(std::ifstream(file).rdbuf()), {});
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
            if (row.replaceError == kSucceeds)
                return replaceFile(replaced, replacement);
            if (row.replaceError == k1176)
                DeleteFileA(replaced.c_str());
            if (row.replaceError == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
                MoveFileA(replaced.c_str(), (folder / "system-chosen-name").string().c_str());
            if (row.nameTakenAtOnce)
                CreateDirectoryA(replaced.c_str(), nullptr);
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
                  row.left == 'n')
            << error;
        int temporaryFiles = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() != ".tmp")
                continue;
            ++temporaryFiles;
            // Kept only when it holds the only copy of the new text, and said so.
            EXPECT_EQ(fileText(entry.path()), newText);
            EXPECT_NE(error.find(entry.path().filename().string()), std::string::npos) << error;
        }
        EXPECT_EQ(temporaryFiles, row.left ? 0 : 1);
        if (row.left) {
            EXPECT_EQ(fileText(target), row.left == 'n' ? newText : oldText);
        }
    }
    fs::remove_all(folder);
}

}  // namespace
