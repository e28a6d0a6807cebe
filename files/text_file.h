// Text files read and saved whole: the profile files of the window and
// zr9ctl. One small core (text_file.cpp) and one file per platform.
#pragma once

#include <string>

// Reads a regular file whole; false with `error` as "path: cannot read: why".
// A folder, device or pipe is refused without waiting on it.
bool ReadTextFile(const std::string& path, std::string& text, std::string& error);

// Writes the text to a new temporary file beside the file and renames it
// over the file, so an interrupted save leaves the old file or the new one,
// never half a file. A symbolic link keeps pointing at the file it names,
// which is the one replaced; a file replaced keeps its permissions. A folder,
// device or pipe is refused; `error` begins with the path.
bool SaveTextFile(const std::string& path, const std::string& text, std::string& error);
