#include "text_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

#include "text_file_platform.h"

namespace text_file_platform {

std::string TemporaryName(const std::filesystem::path& target)
{
    static std::random_device random;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x.tmp", random(), random());
    const std::filesystem::path name = "." + target.filename().string() + suffix;
    return (target.has_parent_path() ? target.parent_path() / name : name).string();
}

}  // namespace text_file_platform

namespace {

// The file a chain of symbolic links ends at, so that a save replaces it and
// the links keep pointing at it; false with `reason` for a loop.
bool FollowLinks(std::filesystem::path& target, std::string& reason)
{
    constexpr int kMostLinks = 40;  // as the kernel's own limit
    std::error_code error;
    for (int links = 0; std::filesystem::is_symlink(std::filesystem::symlink_status(target, error));
         ++links) {
        const std::filesystem::path next = std::filesystem::read_symlink(target, error);
        if (error || links == kMostLinks) {
            reason = error ? error.message() : std::strerror(ELOOP);
            return false;
        }
        // A relative link is relative to its own folder; an absolute one replaces the path.
        target = target.parent_path() / next;
    }
    return true;
}

}  // namespace

bool ReadTextFile(const std::string& path, std::string& text, std::string& error)
{
    text.clear();
    const std::string reason = text_file_platform::ReadRegularFile(path, text);
    if (reason.empty())
        return true;
    error = path + ": cannot read: " + reason;
    return false;
}

namespace text_file_platform {

bool SaveTextFile(const std::string& path, const std::string& text, std::string& error,
                  const CSaveCalls& calls)
{
    std::filesystem::path target = path;
    std::string reason;
    if (FollowLinks(target, reason))
        reason = ReplaceWithText(target, text, calls);
    if (reason.empty())
        return true;
    error = path + ": cannot write: " + reason;
    return false;
}

}  // namespace text_file_platform

bool SaveTextFile(const std::string& path, const std::string& text, std::string& error)
{
    return text_file_platform::SaveTextFile(path, text, error,
                                            text_file_platform::SystemSaveCalls());
}
