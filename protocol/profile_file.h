// Profile files: a module's profile as text a person can read, edit, diff
// and keep, shared by the window and zr9ctl.
//
//   zr9-profile 1
//   # comment
//   Device Name = BLE UART
//   Local Address = 02:A2:01:A2:00:A1
//   ...
//
// The first line names the format and its version. Then one "Name = value"
// a line, the names those of the window's labels, the values as the window
// shows them. A file may name only some fields; the others keep what the
// window (or the module) holds. Texts are the window's 8-bit characters,
// stored as UTF-8; "\\" and "\xHH" escape a backslash and any byte.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "profile.h"

constexpr char kProfileFileHeader[] = "zr9-profile 1";

enum class ProfileField {
    DeviceName,
    LocalAddress,
    PeerAddress,
    PeerAddrUsed,
    ConfigPassword,
    Bonding,
    PinCode,
    PinUsed,
    Role,
    Mode,
    Handshake,
    BaudRate,
    Parity,
};
constexpr std::size_t kProfileFieldCount = 13;

// The field's name in files and --set options, e.g. "PIN used (MITM)".
const char* ProfileFieldName(ProfileField field);

// The fields a file or option names, with their values as view members.
class CProfileSettings {
public:
    // Parses one "Name = value"; false with `error` saying what is wrong.
    bool Parse(const std::string& line, std::string& error);
    // Copies the named fields into `view`; the others stay.
    void ApplyTo(ProfileView& view) const;

    bool Names(ProfileField field) const { return m_abNamed[static_cast<std::size_t>(field)]; }
    void Forget(ProfileField field) { m_abNamed[static_cast<std::size_t>(field)] = false; }
    const ProfileView& Values() const { return m_values; }

private:
    ProfileView m_values;
    std::array<bool, kProfileFieldCount> m_abNamed{};
};

// The fields of a file's text, or false with `error` as "line N: what".
// Nothing is kept from a text with any fault.
bool ParseProfileText(const std::string& text, CProfileSettings& settings, std::string& error);

// The whole view as file text, every field named. A view decoded from any
// record reads back to one that encodes the same, except a PIN of fewer than
// 6 characters, which is written as it is but refused on reading, as Write
// refuses to send it.
std::string FormatProfileText(const ProfileView& view);

// A field's value as the file writes it.
std::string FormatProfileValue(const ProfileView& view, ProfileField field);

// Reads a file; on failure `error` begins with the path (and line number).
// A folder, device or pipe is refused without waiting on it.
bool LoadProfileFile(const std::string& path, CProfileSettings& settings, std::string& error);

// Writes the text to a new temporary file beside the file and renames it
// over the file, so an interrupted save leaves the old file or the new one,
// never half a file. A symbolic link keeps pointing at the file it names,
// which is the one replaced; a file replaced keeps its permissions. A folder,
// device or pipe is refused; `error` begins with the path.
bool SaveTextFile(const std::string& path, const std::string& text, std::string& error);

#ifdef _WIN32
// The system's own words for a Win32 error code (GetLastError), without the
// closing full stop, for the messages that name a file.
std::string SystemErrorText(unsigned long code);
#endif
