// The log's file on the disk, one implementation per platform
// (log_file_posix.cpp, log_file_win32.cpp); OpenLogFile chooses it. What
// they share is in run_log.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "run_log.h"

std::unique_ptr<ILogFile> OpenLogFileOnDisk(const std::string& path);

// False for a device or a pipe (/dev/null, NUL): no rows of earlier runs to
// read, and nothing two processes could mix, so nothing to lock.
bool CanHoldRows(const std::string& path);
// ILogFile::ReadAll of the file at `path`.
bool ReadLogFile(const std::string& path, std::optional<std::string>& content, std::string& error);
// "pumps.csv: the log cannot be written: No space left on device"
bool FailLogFile(const std::string& path, const std::string& what, const std::string& reason,
                 std::string& error);
// The holder a lock file names ("zr9ctl (process 4242)"): its first line.
std::string HolderNamed(const std::string& lockText);
