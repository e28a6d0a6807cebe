// The log's file on the disk, one implementation per platform
// (log_file_posix.cpp, log_file_win32.cpp); OpenLogFile chooses it.
#pragma once

#include <memory>
#include <string>

#include "run_log.h"

std::unique_ptr<ILogFile> OpenLogFileOnDisk(const std::string& path);
