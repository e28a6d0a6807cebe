#include "profile_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// By ProfileField; the window's labels.
constexpr const char* kFieldNames[kProfileFieldCount] = {
    "Device Name",
    "Local Address",
    "Peer Address",
    "Peer Addr used",
    "Config Password",
    "Bonding",
    "PIN Code",
    "PIN used (MITM)",
    "Role",
    "Mode",
    "Handshake (RTS/CTS)",
    "Baud Rate",
    "Parity",
};

// The window's typing limits, and what a module's record can hold beyond them.
constexpr std::size_t kPairSize = 2;
constexpr std::size_t kPairCount = 6;
constexpr std::size_t kPasswordSize = 4;
constexpr std::size_t kPinSize = 6;
constexpr std::size_t kNameMaxSize = 18;

// Baud rate items that are not numbers: the list's empty and single-blank
// items, and no item selected.
constexpr int kEmptyBaudItem = 9;
constexpr int kBlankBaudItem = 10;
constexpr const char* kEmptyBaudValue = "(empty item)";
constexpr const char* kBlankBaudValue = "(blank item)";
constexpr const char* kNoBaudValue = "(none)";

const char* const kSeparatorSpaces = " \t";

std::string Trim(const std::string& text)
{
    const std::size_t begin = text.find_first_not_of(kSeparatorSpaces);
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(kSeparatorSpaces) - begin + 1);
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

// Bytes a text editor would not show as themselves: control characters,
// C1 controls, the no-break and soft hyphen. The field separator of an
// address, and blanks at either end of a value, which reading trims.
bool NeedsEscape(std::uint8_t byte, bool atEnd, bool inAddress)
{
    return byte < 0x20 || (byte >= 0x7F && byte <= 0xA0) || byte == 0xAD || byte == '\\' ||
           (inAddress && byte == ':') || (atEnd && byte == ' ');
}

// 8-bit text as file text: UTF-8 for the Latin-1 characters, escapes for the rest.
std::string EscapeText(const std::string& text, bool inAddress = false)
{
    std::string escaped;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        if (NeedsEscape(byte, i == 0 || i + 1 == text.size(), inAddress)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            escaped += byte == '\\' ? "\\\\" : hex;
        } else if (byte >= 0x80) {
            escaped.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            escaped.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        } else {
            escaped.push_back(static_cast<char>(byte));
        }
    }
    return escaped;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = LowerAscii(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

// The length of the UTF-8 sequence at `text[i]` and its code point; 0 when
// it is no sequence. An overlong form would let a 0x00 (E0 80 80) past the
// check for it, and surrogates and code points past U+10FFFF are no
// characters.
std::size_t DecodeUtf8(const std::string& text, std::size_t i, unsigned& code)
{
    const auto lead = static_cast<std::uint8_t>(text[i]);
    const std::size_t size = lead >= 0xF0 && lead <= 0xF4   ? 4
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                                                            : 0;
    if (size == 0 || i + size > text.size())
        return 0;
    code = lead & (0x7F >> size);
    for (std::size_t k = 1; k < size; ++k) {
        const auto next = static_cast<std::uint8_t>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    // The smallest code point each length may carry.
    static constexpr unsigned kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kShortest[size] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return size;
}

// File text as 8-bit text.
bool UnescapeText(const std::string& value, std::string& text, std::string& error)
{
    text.clear();
    for (std::size_t i = 0; i < value.size();) {
        const auto byte = static_cast<std::uint8_t>(value[i]);
        if (byte == '\\') {
            if (i + 1 < value.size() && value[i + 1] == '\\') {
                text.push_back('\\');
                i += 2;
                continue;
            }
            const bool hex = i + 3 < value.size() && value[i + 1] == 'x';
            const int high = hex ? HexDigit(value[i + 2]) : -1;
            const int low = high >= 0 ? HexDigit(value[i + 3]) : -1;
            if (low < 0) {
                error = "unknown escape \"" + value.substr(i, 4) + "\" (use \\\\ or \\xHH)";
                return false;
            }
            if (high == 0 && low == 0) {
                error = "\\x00 cannot be stored: the module ends a text at a 0x00 byte";
                return false;
            }
            text.push_back(static_cast<char>(high * 16 + low));
            i += 4;
        } else if (byte == 0x00) {
            error = "a 0x00 byte cannot be stored: the module ends a text at a 0x00 byte";
            return false;
        } else if (byte < 0x80) {
            text.push_back(value[i]);
            ++i;
        } else {
            unsigned code = 0;
            const std::size_t size = DecodeUtf8(value, i, code);
            if (size == 0) {
                error = "the text is not UTF-8";
                return false;
            }
            // The module stores one byte a character.
            if (code > 0xFF) {
                error = "a character the module cannot store (it takes 8-bit characters, "
                        "U+0000 to U+00FF)";
                return false;
            }
            text.push_back(static_cast<char>(code));
            i += size;
        }
    }
    return true;
}

std::string FormatAddress(const std::array<const std::string*, kPairCount>& pairs)
{
    std::string text;
    for (std::size_t i = 0; i < kPairCount; ++i)
        text += (i ? ":" : "") + EscapeText(*pairs[i], true);
    return text;
}

bool ParseAddress(const std::string& value, const std::array<std::string*, kPairCount>& pairs,
                  std::string& error)
{
    // An escape never holds a ":", so the pairs split before unescaping.
    std::vector<std::string> parts(1);
    for (char c : value) {
        if (c == ':')
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    if (parts.size() != kPairCount) {
        error = "an address has 6 pairs separated by \":\", e.g. 02:A2:01:A2:00:A1";
        return false;
    }
    for (std::size_t i = 0; i < kPairCount; ++i) {
        if (!UnescapeText(Trim(parts[i]), parts[i], error))
            return false;
        if (parts[i].size() > kPairSize) {
            error = "pair " + std::to_string(i + 1) + " \"" + EscapeText(parts[i]) +
                    "\" has more than 2 characters";
            return false;
        }
    }
    for (std::size_t i = 0; i < kPairCount; ++i)
        *pairs[i] = parts[i];
    return true;
}

bool ParseText(const std::string& value, std::size_t minSize, std::size_t maxSize,
               std::string& text, std::string& error)
{
    std::string unescaped;
    if (!UnescapeText(value, unescaped, error))
        return false;
    if (unescaped.size() < minSize || unescaped.size() > maxSize) {
        error = minSize == maxSize
                    ? "needs " + std::to_string(minSize) + " characters, not " +
                          std::to_string(unescaped.size())
                    : "takes at most " + std::to_string(maxSize) + " characters, not " +
                          std::to_string(unescaped.size());
        return false;
    }
    text = unescaped;
    return true;
}

// One of two words; `first` tells which.
bool ParseChoice(const std::string& value, const char* firstWord, const char* secondWord,
                 bool& first, std::string& error)
{
    if (SameIgnoringCase(value, firstWord) || SameIgnoringCase(value, secondWord)) {
        first = SameIgnoringCase(value, firstWord);
        return true;
    }
    error = std::string("is \"") + firstWord + "\" or \"" + secondWord + "\"";
    return false;
}

// A pair of radio buttons: exactly one of `first` and `second` is checked.
bool ParseRadioPair(const std::string& value, const char* firstWord, const char* secondWord,
                    bool& first, bool& second, std::string& error)
{
    if (!ParseChoice(value, firstWord, secondWord, first, error))
        return false;
    second = !first;
    return true;
}

std::string BaudValue(int index)
{
    if (index == kEmptyBaudItem)
        return kEmptyBaudValue;
    if (index == kBlankBaudItem)
        return kBlankBaudValue;
    if (index < 0 || index >= kBaudItemCount)
        return kNoBaudValue;
    const std::string item = kBaudItems[index];
    return item.substr(0, item.find(' '));
}

bool ParseBaud(const std::string& value, int& index, std::string& error)
{
    for (int i = -1; i < kBaudItemCount; ++i) {
        const std::string spelling = BaudValue(i);
        if (SameIgnoringCase(value, spelling) || SameIgnoringCase(value, spelling + " BPS")) {
            index = i;
            return true;
        }
    }
    error = "\"" + value + "\" is not in the list (4800, 9600, 14400, 19200, 28800, 38400, "
            "57600, 76800, 115200)";
    return false;
}

const char* YesNo(bool value)
{
    return value ? "yes" : "no";
}

// Sets the field in `view` from its file value.
bool ParseValue(ProfileField field, const std::string& value, ProfileView& view,
                std::string& error)
{
    switch (field) {
    case ProfileField::DeviceName:
        return ParseText(value, 0, kNameMaxSize, view.LocalName, error);
    case ProfileField::LocalAddress:
        return ParseAddress(value, LocalAddressPairs(view), error);
    case ProfileField::PeerAddress:
        return ParseAddress(value, PeerAddressPairs(view), error);
    case ProfileField::PeerAddrUsed:
        return ParseChoice(value, "yes", "no", view.ckPeerAddr, error);
    case ProfileField::ConfigPassword:
        return ParseText(value, 0, kPasswordSize, view.CfgPwd, error);
    case ProfileField::Bonding:
        return ParseChoice(value, "yes", "no", view.bonding, error);
    case ProfileField::PinCode:
        // Write refuses a shorter PIN ("PinCode Need 6 Digit (0-9) ").
        return ParseText(value, kPinSize, kPinSize, view.PinCode, error);
    case ProfileField::PinUsed:
        return ParseChoice(value, "yes", "no", view.Security, error);
    case ProfileField::Role:
        return ParseRadioPair(value, "Slave", "Master", view.BtRoleS, view.BtRoleM, error);
    case ProfileField::Mode:
        return ParseRadioPair(value, "AT CMD", "Transparent", view.ModeAt, view.ModeTr, error);
    case ProfileField::Handshake:
        return ParseRadioPair(value, "Enable", "Disable", view.RtsEnable, view.RtsDisable, error);
    case ProfileField::BaudRate:
        return ParseBaud(value, view.UartBaud, error);
    case ProfileField::Parity:
        return ParseRadioPair(value, "None", "Even", view.ParityN, view.ParityE, error);
    }
    return false;
}

// Names match whatever their case.
bool FindField(const std::string& name, ProfileField& field)
{
    for (std::size_t i = 0; i < kProfileFieldCount; ++i) {
        if (SameIgnoringCase(name, kFieldNames[i])) {
            field = static_cast<ProfileField>(i);
            return true;
        }
    }
    return false;
}

}  // namespace

const char* ProfileFieldName(ProfileField field)
{
    return kFieldNames[static_cast<std::size_t>(field)];
}

std::string FormatProfileValue(const ProfileView& view, ProfileField field)
{
    // Radio pairs as Write encodes them: ModeAt, BtRoleS, ParityN and RtsEnable decide.
    switch (field) {
    case ProfileField::DeviceName: return EscapeText(view.LocalName);
    case ProfileField::LocalAddress: return FormatAddress(LocalAddressPairs(view));
    case ProfileField::PeerAddress: return FormatAddress(PeerAddressPairs(view));
    case ProfileField::PeerAddrUsed: return YesNo(view.ckPeerAddr);
    case ProfileField::ConfigPassword: return EscapeText(view.CfgPwd);
    case ProfileField::Bonding: return YesNo(view.bonding);
    case ProfileField::PinCode: return EscapeText(view.PinCode);
    case ProfileField::PinUsed: return YesNo(view.Security);
    case ProfileField::Role: return view.BtRoleS ? "Slave" : "Master";
    case ProfileField::Mode: return view.ModeAt ? "AT CMD" : "Transparent";
    case ProfileField::Handshake: return view.RtsEnable ? "Enable" : "Disable";
    case ProfileField::BaudRate: return BaudValue(view.UartBaud);
    case ProfileField::Parity: return view.ParityN ? "None" : "Even";
    }
    return {};
}

bool CProfileSettings::Parse(const std::string& line, std::string& error)
{
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
        error = "expected \"Name = value\"";
        return false;
    }
    ProfileField field;
    const std::string name = Trim(line.substr(0, equals));
    if (!FindField(name, field)) {
        error = "unknown name \"" + name + "\" (the names are";
        for (std::size_t i = 0; i < kProfileFieldCount; ++i)
            error += std::string(i ? ", " : " ") + kFieldNames[i];
        error += ")";
        return false;
    }
    std::string what;
    if (!ParseValue(field, Trim(line.substr(equals + 1)), m_values, what)) {
        error = std::string(ProfileFieldName(field)) + ": " + what;
        return false;
    }
    m_abNamed[static_cast<std::size_t>(field)] = true;
    return true;
}

void CProfileSettings::ApplyTo(ProfileView& view) const
{
    auto named = [&](ProfileField field) { return Names(field); };
    if (named(ProfileField::DeviceName))
        view.LocalName = m_values.LocalName;
    if (named(ProfileField::LocalAddress))
        for (std::size_t i = 0; i < kPairCount; ++i)
            *LocalAddressPairs(view)[i] = *LocalAddressPairs(m_values)[i];
    if (named(ProfileField::PeerAddress))
        for (std::size_t i = 0; i < kPairCount; ++i)
            *PeerAddressPairs(view)[i] = *PeerAddressPairs(m_values)[i];
    if (named(ProfileField::PeerAddrUsed))
        view.ckPeerAddr = m_values.ckPeerAddr;
    if (named(ProfileField::ConfigPassword))
        view.CfgPwd = m_values.CfgPwd;
    if (named(ProfileField::Bonding))
        view.bonding = m_values.bonding;
    if (named(ProfileField::PinCode))
        view.PinCode = m_values.PinCode;
    if (named(ProfileField::PinUsed))
        view.Security = m_values.Security;
    if (named(ProfileField::Role)) {
        view.BtRoleM = m_values.BtRoleM;
        view.BtRoleS = m_values.BtRoleS;
    }
    if (named(ProfileField::Mode)) {
        view.ModeAt = m_values.ModeAt;
        view.ModeTr = m_values.ModeTr;
    }
    if (named(ProfileField::Handshake)) {
        view.RtsEnable = m_values.RtsEnable;
        view.RtsDisable = m_values.RtsDisable;
    }
    if (named(ProfileField::BaudRate))
        view.UartBaud = m_values.UartBaud;
    if (named(ProfileField::Parity)) {
        view.ParityN = m_values.ParityN;
        view.ParityE = m_values.ParityE;
    }
}

bool ParseProfileText(const std::string& text, CProfileSettings& settings, std::string& error)
{
    if (text.empty()) {
        error = std::string("line 1: the file is empty; its first line must be \"") +
                kProfileFileHeader + "\"";
        return false;
    }
    CProfileSettings parsed;
    // The line each field was named on, 0 while it was not.
    std::array<int, kProfileFieldCount> firstLine{};
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // An editor's byte order mark.
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);
        const std::string content = Trim(line);
        std::string what;
        if (number == 1) {
            int version = 0;
            char rest = 0;
            if (content == kProfileFileHeader)
                continue;
            if (std::sscanf(content.c_str(), "zr9-profile %d%c", &version, &rest) == 1 &&
                version > 1)
                what = "format " + std::to_string(version) +
                       " is newer than this program reads (format 1)";
            else
                what = std::string("not a profile file: its first line must be \"") +
                       kProfileFileHeader + "\"";
        } else if (content.empty() || content[0] == '#') {
            continue;
        } else {
            ProfileField field{};
            const bool known = FindField(Trim(content.substr(0, content.find('='))), field);
            int& first = firstLine[static_cast<std::size_t>(field)];
            if (known && first != 0)
                what = std::string(ProfileFieldName(field)) + " is named twice (first on line " +
                       std::to_string(first) + ")";
            else if (parsed.Parse(content, what))
                first = number;
        }
        if (!what.empty()) {
            error = "line " + std::to_string(number) + ": " + what;
            return false;
        }
    }
    settings = parsed;
    return true;
}

std::string FormatProfileText(const ProfileView& view)
{
    std::string text = std::string(kProfileFileHeader) + "\n";
    for (std::size_t i = 0; i < kProfileFieldCount; ++i)
        text += std::string(kFieldNames[i]) + " = " +
                FormatProfileValue(view, static_cast<ProfileField>(i)) + "\n";
    return text;
}

namespace {

// A profile file is a regular file. Anything else is refused before a byte is
// read or written: a FIFO or a terminal could keep the program waiting, and
// a save would put a plain file in the place of a device.
constexpr char kFolderReason[] = "it is a folder";
constexpr char kNotAFileReason[] = "it is not a regular file but a device or a pipe";

// The name of the temporary file a save writes before it takes the target's
// place: beside the target, so that the rename stays within one file
// system, and unpredictable, so that nobody can have prepared it.
std::string TemporaryName(const std::filesystem::path& target)
{
    static std::random_device random;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x.tmp", random(), random());
    const std::filesystem::path name = "." + target.filename().string() + suffix;
    return (target.has_parent_path() ? target.parent_path() / name : name).string();
}

#ifdef _WIN32

}  // namespace

std::string SystemErrorText(DWORD code)
{
    char* buffer = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text = buffer ? buffer : "error " + std::to_string(code);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    return text;
}

namespace {

// The file's bytes, or why not.
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
// rights (ReplaceFile).
std::string ReplaceWithText(const std::filesystem::path& target, const std::string& text)
{
    const std::string targetName = target.string();
    const DWORD attributes = GetFileAttributesA(targetName.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return kFolderReason;
    std::string temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        temporary = TemporaryName(target);
        file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            return SystemErrorText(GetLastError());
    }
    if (file == INVALID_HANDLE_VALUE)
        return SystemErrorText(ERROR_FILE_EXISTS);
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
    if (code == ERROR_SUCCESS &&
        !(exists ? ReplaceFileA(targetName.c_str(), temporary.c_str(), nullptr,
                                REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                 : MoveFileExA(temporary.c_str(), targetName.c_str(), MOVEFILE_WRITE_THROUGH)))
        code = GetLastError();
    if (code != ERROR_SUCCESS) {
        DeleteFileA(temporary.c_str());
        return SystemErrorText(code);
    }
    return {};
}

#else

std::string ReadRegularFile(const std::string& path, std::string& text)
{
    // Not blocking: opening a FIFO that nobody writes would wait for a writer.
    // Not as the controlling terminal, should the path name a terminal.
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    std::string reason;
    struct stat information {};
    if (fstat(fd, &information) != 0)
        reason = std::strerror(errno);
    else if (S_ISDIR(information.st_mode))
        reason = kFolderReason;
    else if (!S_ISREG(information.st_mode))
        reason = kNotAFileReason;
    char buffer[4096];
    while (reason.empty()) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0)
            break;
        else if (errno != EINTR)
            reason = std::strerror(errno);
    }
    close(fd);
    return reason;
}

// Writes `text` to a new file beside `target` and renames it over the
// target; empty, or why not. A file replaced keeps its permission bits, and
// its group where the group can be kept; a new file gets the mode the umask
// gives.
std::string ReplaceWithText(const std::filesystem::path& target, const std::string& text)
{
    struct stat existing {};
    const bool exists = stat(target.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT)
        return std::strerror(errno);
    if (exists && S_ISDIR(existing.st_mode))
        return kFolderReason;
    if (exists && !S_ISREG(existing.st_mode))
        return kNotAFileReason;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = TemporaryName(target);
        // A file that exists may hold the password and the PIN: its copy is
        // the owner's alone until it has the file's own mode.
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST)
            return std::strerror(errno);
    }
    if (fd < 0)
        return std::strerror(EEXIST);
    int code = 0;
    if (exists) {
        mode_t mode = existing.st_mode & 07777;
        struct stat created {};
        // The group's bits are meant for the file's group, and go where that
        // group cannot be kept.
        if (fstat(fd, &created) == 0 && created.st_gid != existing.st_gid &&
            fchown(fd, static_cast<uid_t>(-1), existing.st_gid) != 0)
            mode &= ~static_cast<mode_t>(S_IRWXG | S_ISGID);
        if (fchmod(fd, mode) != 0)
            code = errno;
    }
    for (std::size_t done = 0; code == 0 && done < text.size();) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written >= 0)
            done += static_cast<std::size_t>(written);
        else if (errno != EINTR)
            code = errno;
    }
    // On disk before the rename, so a crash cannot leave an empty file behind the name.
    if (code == 0 && fsync(fd) != 0)
        code = errno;
    if (close(fd) != 0 && code == 0)
        code = errno;
    if (code == 0 && std::rename(temporary.c_str(), target.c_str()) != 0)
        code = errno;
    if (code != 0) {
        unlink(temporary.c_str());
        return std::strerror(code);
    }
    // The rename itself on disk; the file is saved either way.
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        fsync(folderFd);
        close(folderFd);
    }
    return {};
}

#endif

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

bool LoadProfileFile(const std::string& path, CProfileSettings& settings, std::string& error)
{
    std::string text;
    const std::string reason = ReadRegularFile(path, text);
    if (!reason.empty()) {
        error = path + ": cannot read: " + reason;
        return false;
    }
    if (!ParseProfileText(text, settings, error)) {
        // "path:line: what", as compilers point at a line.
        error = path + ":" + error.substr(std::strlen("line "));
        return false;
    }
    return true;
}

bool SaveTextFile(const std::string& path, const std::string& text, std::string& error)
{
    std::filesystem::path target = path;
    std::string reason;
    if (FollowLinks(target, reason))
        reason = ReplaceWithText(target, text);
    if (reason.empty())
        return true;
    error = path + ": cannot write: " + reason;
    return false;
}
