#include "run_log.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "log_file.h"
#include "profile_file.h"
#include "text_file.h"

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kColumnCount = 9;
constexpr const char* kColumns[kColumnCount] = {
    "time", "port", "n", "local address", "new address", "firmware", "device name", "result", "reason",
};
enum Column { kTime, kPort, kNumber, kAddress, kNewAddress, kFirmware, kDeviceName, kResult, kReason };
const char kHeader[] = "time,port,n,local address,new address,firmware,device name,result,reason";

const char kWriting[] = "writing";
const char kOk[] = "ok";
const char kFailed[] = "failed";
const char kSettings[] = "settings";

// Only 'a' to 'z' change, as everywhere the tool upper-cases text.
std::string UpperAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string LowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string TrimSpaces(const std::string& text)
{
    const std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// --- Writing cells ---------------------------------------------------------

// A spreadsheet takes a cell beginning with one of these for a formula; the
// module's own bytes (name, address) and a user's values can begin so. An
// apostrophe before the cell makes it text, and one before a cell that begins
// with an apostrophe keeps reading unambiguous.
bool NeedsApostrophe(const std::string& value)
{
    return !value.empty() && std::strchr("=+-@\t\r'", value[0]) != nullptr;
}

std::string CsvCell(const std::string& value)
{
    const std::string cell = NeedsApostrophe(value) ? "'" + value : value;
    if (cell.find_first_of(",\"\r\n") == std::string::npos)
        return cell;
    std::string quoted = "\"";
    for (char c : cell)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string CsvLine(const std::vector<std::string>& cells)
{
    std::string line = CsvCell(cells.front());
    for (std::size_t i = 1; i < cells.size(); ++i)
        line += "," + CsvCell(cells[i]);
    return line + "\n";
}

// The apostrophe CsvCell put before a cell, undone; a cell a person or a
// spreadsheet saved without it stays as it is.
std::string UndoApostrophe(const std::string& cell)
{
    if (cell.size() >= 2 && cell[0] == '\'' && NeedsApostrophe(cell.substr(1)))
        return cell.substr(1);
    return cell;
}

const char* ResultWord(RunLogRow::Result result)
{
    switch (result) {
    case RunLogRow::Result::Writing: return kWriting;
    case RunLogRow::Result::Ok: return kOk;
    case RunLogRow::Result::Failed: return kFailed;
    }
    return kFailed;
}

// --- The settings cell -------------------------------------------------------
//
// "profile 3f2a...; first 001; set Device Name=Pump {n}; set ...": one text
// cell that a spreadsheet keeps as it is (a cell of its own would turn "001"
// into 1). In a value, ';', '\', control bytes and blanks at either end are
// written "\xHH", so the items split back exactly.

std::string EscapeSetting(const std::string& value)
{
    std::string escaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto byte = static_cast<unsigned char>(value[i]);
        const bool atEnd = i == 0 || i + 1 == value.size();
        if (byte < 0x20 || byte == 0x7F || byte == ';' || byte == '\\' || (atEnd && byte == ' ')) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            escaped += hex;
        } else {
            escaped.push_back(static_cast<char>(byte));
        }
    }
    return escaped;
}

bool UnescapeSetting(const std::string& escaped, std::string& value)
{
    value.clear();
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            value.push_back(escaped[i]);
            continue;
        }
        if (i + 3 >= escaped.size() || escaped[i + 1] != 'x' ||
            !std::isxdigit(static_cast<unsigned char>(escaped[i + 2])) ||
            !std::isxdigit(static_cast<unsigned char>(escaped[i + 3])))
            return false;
        value.push_back(static_cast<char>(std::stoi(escaped.substr(i + 2, 2), nullptr, 16)));
        i += 3;
    }
    return true;
}

std::string SettingsCell(const RunLogSettings& settings)
{
    std::string cell = "profile " + EscapeSetting(settings.m_strProfileDigest) + "; first " +
                       EscapeSetting(settings.m_strFirst);
    for (const std::string& value : settings.m_vecSettings)
        cell += "; set " + EscapeSetting(value);
    return cell;
}

bool ParseSettingsCell(const std::string& cell, RunLogSettings& settings)
{
    settings = {};
    bool profile = false;
    bool first = false;
    for (std::size_t begin = 0; begin <= cell.size();) {
        std::size_t end = cell.find(';', begin);
        if (end == std::string::npos)
            end = cell.size();
        const std::string item = cell.substr(begin, end - begin);
        begin = end + 1;
        // The blank after ';' separates; one a spreadsheet trimmed off the end is no loss.
        const std::size_t start = item.find_first_not_of(' ');
        const std::size_t space = item.find(' ', start);
        const std::string key = start == std::string::npos ? "" : item.substr(start, space - start);
        std::string value;
        if (!UnescapeSetting(space == std::string::npos ? "" : item.substr(space + 1), value))
            return false;
        if (key == "profile" && !profile)
            profile = true, settings.m_strProfileDigest = value;
        else if (key == "first" && !first)
            first = true, settings.m_strFirst = value;
        else if (key == "set" && first)
            settings.m_vecSettings.push_back(value);
        else
            return false;
    }
    return profile && first;
}

// --- Reading -----------------------------------------------------------------

struct Record {
    std::vector<std::string> m_vecFields;
    std::size_t m_nLine = 0;  // where it begins, the header's being 1
    bool m_bCut = false;      // the text ended inside it, its last field perhaps a part
};

// The records of `text`, quotes undone. A quote opens a quoted field only at
// a field's start; '\r' outside quotes is a spreadsheet's line end and goes.
// `inQuotes` tells whether the text ended inside a quoted field.
std::vector<Record> ParseRecords(const std::string& text, bool& inQuotes)
{
    std::vector<Record> records;
    Record record;
    record.m_vecFields.emplace_back();
    record.m_nLine = 1;
    std::size_t line = 1;
    bool started = false;  // a byte of the record was read
    bool atFieldStart = true;
    inQuotes = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        started = true;
        if (c == '\n')
            ++line;
        if (inQuotes) {
            if (c != '"')
                record.m_vecFields.back() += c;
            else if (i + 1 < text.size() && text[i + 1] == '"')
                record.m_vecFields.back() += text[++i];
            else
                inQuotes = false;
            continue;
        }
        if (c == '"' && atFieldStart) {
            inQuotes = true;
        } else if (c == ',') {
            record.m_vecFields.emplace_back();
            atFieldStart = true;
            continue;
        } else if (c == '\n') {
            records.push_back(std::move(record));
            record = Record{};
            record.m_vecFields.emplace_back();
            record.m_nLine = line;
            started = false;
        } else if (c != '\r') {
            record.m_vecFields.back() += c;
        }
        atFieldStart = c == '\n';
    }
    if (started) {
        record.m_bCut = true;
        records.push_back(std::move(record));
    }
    return records;
}

bool IsBlank(const Record& record)
{
    return std::all_of(record.m_vecFields.begin(), record.m_vecFields.end(),
                       [](const std::string& field) { return field.empty(); });
}

bool IsHeader(const std::vector<std::string>& fields)
{
    std::size_t count = fields.size();
    while (count > kColumnCount && TrimSpaces(fields[count - 1]).empty())
        --count;
    if (count != kColumnCount)
        return false;
    for (std::size_t i = 0; i < kColumnCount; ++i)
        if (LowerAscii(TrimSpaces(fields[i])) != kColumns[i])
            return false;
    return true;
}

// {n} as a number; false for an empty or foreign field.
bool ParseNumber(const std::string& field, long& number)
{
    const std::string digits = TrimSpaces(field);
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    number = std::stol(digits);
    return true;
}

// Why the first line is no header, in words for the user; empty when it is one.
std::string WhyNoLog(const std::string& path, const std::string& text, const Record& first)
{
    const std::string line = text.substr(0, text.find_first_of("\r\n"));
    const std::string expected =
        std::string("; a run log begins with the line \"") + kHeader + "\"";
    if (line.rfind(kProfileFileHeader, 0) == 0)
        return path + " is a profile file, not a run log" + expected;
    std::vector<std::string> cells;
    for (std::size_t begin = 0; begin <= line.size();) {
        const std::size_t end = std::min(line.find(';', begin), line.size());
        std::string cell = TrimSpaces(line.substr(begin, end - begin));
        if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"')
            cell = cell.substr(1, cell.size() - 2);
        cells.push_back(cell);
        begin = end + 1;
    }
    if (IsHeader(cells))
        return path +
               " was saved by a spreadsheet with ';' between the fields, which is not read: "
               "save it again as CSV with commas (UTF-8), or name a new log file";
    if (first.m_bCut && std::string(kHeader).rfind(line, 0) == 0)
        return path + " holds only the beginning of a run log's header, cut short when it was "
                      "made, and no row: remove it, or name a new log file";
    if (line.empty())
        return path + " is not a run log: its first line is empty" + expected;
    return path + " is not a run log: its first line is not the header" + expected;
}

// Reads the rows after the header into `earlier`.
class CRowReader {
public:
    CRowReader(const std::string& path, EarlierRows& earlier) : m_strPath(path), m_earlier(earlier) {}

    bool Read(const std::vector<Record>& records, std::string& error)
    {
        for (std::size_t i = 1; i < records.size(); ++i)
            if (!IsBlank(records[i]))
                Take(records[i]);
        for (const RunLogRow& row : m_vecPending)
            m_earlier.m_vecInterrupted.push_back(row);
        for (const Pending& salvaged : m_vecSalvaged)
            if (!salvaged.m_bEnded)
                m_earlier.m_vecInterrupted.push_back(salvaged.m_row);
        for (const RunLogRow& row : m_earlier.m_vecInterrupted)
            Taken(row);
        if (m_nUnreadSettingsLine != 0) {
            error = m_strPath + ", line " + std::to_string(m_nUnreadSettingsLine) +
                    ": the run's settings cannot be read (expected \"profile <digest>; first "
                    "<n>; set <value>...\"): correct the line, or name a new log file";
            return false;
        }
        return true;
    }

private:
    struct Pending {
        RunLogRow m_row;
        bool m_bEnded = false;  // a later row with its number
    };

    void Take(const Record& record)
    {
        const std::vector<std::string>& fields = record.m_vecFields;
        std::size_t count = fields.size();
        while (count > kColumnCount && fields[count - 1].empty())
            --count;
        const std::string result = count > kResult ? LowerAscii(TrimSpaces(fields[kResult])) : "";
        // Cut inside its reason, a row says all that counts, except the
        // settings row, whose reason is what it says; else the last field
        // may be a part.
        const bool cutShort = record.m_bCut && (count < kColumnCount || result == kSettings);
        RunLogRow row = RowOf(fields, cutShort ? fields.size() - 1 : count);
        long number = 0;
        const bool numbered = ParseNumber(row.m_strNumber, number);
        std::string why;
        if (cutShort)
            why = "was cut short (a power cut or a full disk?)";
        else if (count < kColumnCount)
            why = "has " + std::to_string(count) + " of the " + std::to_string(kColumnCount) +
                  " fields";
        else if (count > kColumnCount)
            why = "has " + std::to_string(count) + " fields, not " + std::to_string(kColumnCount);
        else if (!row.m_strNumber.empty() && !numbered)
            why = "has \"" + row.m_strNumber + "\" where a number belongs";
        else if (result != kWriting && result != kOk && result != kFailed && result != kSettings)
            why = "has the result \"" + TrimSpaces(fields[kResult]) +
                  "\", which is none of writing, ok, failed and settings";
        if (!why.empty())
            return SetAside(record.m_nLine, why, row, numbered ? number : -1);
        if (record.m_bCut)
            m_earlier.m_vecNotes.push_back(m_strPath + ": line " + std::to_string(record.m_nLine) +
                                           " was cut short (a power cut or a full disk?) in its "
                                           "reason, which may be incomplete");

        if (result == kSettings) {
            RunLogSettings settings;
            const bool read = ParseSettingsCell(row.m_strReason, settings);
            m_nUnreadSettingsLine = read ? 0 : record.m_nLine;
            if (read)
                m_earlier.m_settings = settings;
            return;
        }
        // A writing row waits for its outcome, known by its number, or by the
        // address where no number was taken.
        const std::string key = KeyOf(row);
        for (Pending& salvaged : m_vecSalvaged)
            salvaged.m_bEnded |= KeyOf(salvaged.m_row) == key;
        std::erase_if(m_vecPending, [&](const RunLogRow& pending) { return KeyOf(pending) == key; });
        if (result == kWriting) {
            row.m_result = RunLogRow::Result::Writing;
            m_vecPending.push_back(row);
        } else if (result == kOk) {
            row.m_result = RunLogRow::Result::Ok;
            // A module failed before and configured now is no longer a failed one.
            std::erase_if(m_earlier.m_vecFailed, [&](const RunLogRow& failed) {
                return !row.m_strAddress.empty() && (failed.m_strAddress == row.m_strAddress ||
                                                     failed.m_strNewAddress == row.m_strAddress);
            });
            m_earlier.m_vecConfigured.push_back(row);
            Taken(row);
        } else {
            row.m_result = RunLogRow::Result::Failed;
            // A module's last attempt says why it is not configured.
            std::erase_if(m_earlier.m_vecFailed, [&](const RunLogRow& failed) {
                return !row.m_strAddress.empty() && failed.m_strAddress == row.m_strAddress;
            });
            m_earlier.m_vecFailed.push_back(row);
        }
    }

    // The whole fields of a row (the first `whole`), apostrophes undone and
    // addresses in the form the module reports.
    static RunLogRow RowOf(const std::vector<std::string>& fields, std::size_t whole)
    {
        RunLogRow row;
        std::string* const members[kColumnCount] = {
            &row.m_strTime,      &row.m_strPort,       &row.m_strNumber,
            &row.m_strAddress,   &row.m_strNewAddress, &row.m_strFirmware,
            &row.m_strDeviceName, nullptr,             &row.m_strReason,
        };
        for (std::size_t i = 0; i < std::min(whole, kColumnCount); ++i)
            if (members[i])
                *members[i] = UndoApostrophe(fields[i]);
        row.m_strAddress = UpperAscii(row.m_strAddress);
        row.m_strNewAddress = UpperAscii(row.m_strNewAddress);
        row.m_result = RunLogRow::Result::Writing;
        return row;
    }

    static std::string KeyOf(const RunLogRow& row)
    {
        long number = 0;
        return ParseNumber(row.m_strNumber, number) ? "n" + std::to_string(number)
                                                    : "@" + row.m_strAddress;
    }

    // A row that cannot be read as one. Its number, when whole, stays taken
    // whatever the row was: a number given twice is worse than a gap.
    void SetAside(std::size_t line, const std::string& why, const RunLogRow& row, long number)
    {
        std::string note = m_strPath + ": line " + std::to_string(line) + " " + why +
                           " and is set aside";
        if (number >= 0) {
            note += "; its number " + TrimSpaces(row.m_strNumber) + " stays taken";
            m_earlier.m_setTakenNumbers.insert(number);
            m_vecSalvaged.push_back({row});
        }
        m_earlier.m_vecNotes.push_back(note);
    }

    void Taken(const RunLogRow& row)
    {
        long number = 0;
        if (ParseNumber(row.m_strNumber, number))
            m_earlier.m_setTakenNumbers.insert(number);
    }

    const std::string& m_strPath;
    EarlierRows& m_earlier;
    std::vector<RunLogRow> m_vecPending;   // writing rows without an outcome yet
    std::vector<Pending> m_vecSalvaged;    // rows set aside whose number was whole
    std::size_t m_nUnreadSettingsLine = 0;  // the last settings row, when it is unreadable
};

// Standard output: nothing to read or lock, rows flushed as they come.
class CStandardOutputLog final : public ILogFile {
public:
    bool ReadAll(std::optional<std::string>& content, std::string&) override
    {
        content.reset();
        return true;
    }
    bool Lock(std::string&, std::string&) override { return true; }
    bool AppendDurably(const std::string& bytes, std::string& error) override
    {
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
            std::fflush(stdout) == 0)
            return true;
        std::clearerr(stdout);
        return FailLogFile(m_strPath, "cannot be written", std::strerror(errno), error);
    }
    const std::string& Path() const override { return m_strPath; }
    bool IsStandardOutput() const override { return true; }

private:
    const std::string m_strPath = "standard output";
};

}  // namespace

bool CanHoldRows(const std::string& path)
{
    std::error_code ignored;
    const auto type = std::filesystem::status(path, ignored).type();
    return type == std::filesystem::file_type::regular ||
           type == std::filesystem::file_type::directory ||
           type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::none;
}

bool ReadLogFile(const std::string& path, std::optional<std::string>& content, std::string& error)
{
    content.reset();
    std::error_code code;
    if (std::filesystem::status(path, code).type() == std::filesystem::file_type::not_found ||
        !CanHoldRows(path))
        return true;
    std::string text;
    if (!ReadTextFile(path, text, error))
        return false;
    content = std::move(text);
    return true;
}

bool FailLogFile(const std::string& path, const std::string& what, const std::string& reason,
                 std::string& error)
{
    error = path + ": the log " + what + ": " + reason;
    return false;
}

std::string HolderNamed(const std::string& lockText)
{
    const std::string holder = lockText.substr(0, lockText.find_first_of("\r\n"));
    return holder.empty() ? "another process" : holder;
}

std::unique_ptr<ILogFile> OpenLogFile(const std::string& path)
{
    if (path.empty())
        return std::make_unique<CStandardOutputLog>();
    return OpenLogFileOnDisk(path);
}

CRunLog::CRunLog(std::unique_ptr<ILogFile> file) : m_file(std::move(file)) {}

bool CRunLog::OpenAndRead(EarlierRows& earlier, std::string& error)
{
    earlier = {};
    const std::string& path = m_file->Path();
    std::string holder;
    if (!m_file->Lock(holder, error)) {
        if (!holder.empty())
            error = path + " is in use by " + holder;
        return false;
    }
    std::optional<std::string> content;
    if (!m_file->ReadAll(content, error))
        return false;
    std::string text = content.value_or("");
    const bool byteOrderMark = text.rfind(kByteOrderMark, 0) == 0;
    if (byteOrderMark)
        text.erase(0, std::strlen(kByteOrderMark));
    bool inQuotes = false;
    const std::vector<Record> records = ParseRecords(text, inQuotes);
    if (!records.empty() && !IsHeader(records.front().m_vecFields)) {
        error = WhyNoLog(path, text, records.front());
        return false;
    }
    if (!CRowReader(path, earlier).Read(records, error))
        return false;
    const std::lock_guard lock(m_mutex);
    m_bRead = true;
    m_bNeedsHeader = records.empty();
    m_bNeedsByteOrderMark = !byteOrderMark && !m_file->IsStandardOutput();
    m_strEndCutRow = records.empty() || !records.back().m_bCut ? "" : inQuotes ? "\"\n" : "\n";
    return true;
}

bool CRunLog::Begin(const RunLogSettings& settings, std::string& error)
{
    if (!m_bRead) {
        EarlierRows ignored;
        if (!OpenAndRead(ignored, error))
            return false;
    }
    const std::lock_guard lock(m_mutex);
    std::string bytes;
    if (m_bNeedsHeader)
        bytes = (m_bNeedsByteOrderMark ? kByteOrderMark : "") + std::string(kHeader) + "\n";
    bytes += CsvLine({LocalTimeText(), "", "", "", "", "", "", kSettings, SettingsCell(settings)});
    if (!WriteLocked(bytes, error))
        return false;
    m_bNeedsHeader = false;
    return true;
}

bool CRunLog::Append(const RunLogRow& row, std::string& error)
{
    const std::string line =
        CsvLine({row.m_strTime.empty() ? LocalTimeText() : row.m_strTime, row.m_strPort,
                 row.m_strNumber, row.m_strAddress, row.m_strNewAddress, row.m_strFirmware,
                 row.m_strDeviceName, ResultWord(row.m_result), row.m_strReason});
    const std::lock_guard lock(m_mutex);
    return WriteLocked(line, error);
}

bool CRunLog::WriteLocked(const std::string& bytes, std::string& error)
{
    if (m_file->AppendDurably(m_strEndCutRow + bytes, error)) {
        m_strEndCutRow.clear();
        return true;
    }
    // Part of it may be there: the next row begins on a line of its own.
    if (!m_bNeedsHeader)
        m_strEndCutRow = "\n";
    return false;
}

std::string LocalTimeText()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string ProfileDigest(const CProfileSettings& profile)
{
    // FNV-1a, 64 bits: small, stable across platforms and versions.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    const auto add = [&hash](const std::string& text) {
        for (unsigned char byte : text) {
            hash ^= byte;
            hash *= 0x100000001b3ULL;
        }
    };
    for (std::size_t i = 0; i < kProfileFieldCount; ++i) {
        const auto field = static_cast<ProfileField>(i);
        if (profile.Names(field))
            add(std::string(ProfileFieldName(field)) + "=" +
                FormatProfileValue(profile.Values(), field) + "\n");
    }
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}
