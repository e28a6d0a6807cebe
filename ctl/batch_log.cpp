#include "batch_log.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";
const char kHeader[] =
    "time,port,n,local address,new address,firmware,device name,result,reason\n";

// A spreadsheet takes a cell beginning with one of these for a formula; the
// module's own bytes (name, address) and a user's values can begin so.
bool LooksLikeFormula(const std::string& cell)
{
    return !cell.empty() && std::strchr("=+-@\t\r", cell[0]) != nullptr;
}

std::string CsvField(const std::string& value)
{
    const std::string cell = LooksLikeFormula(value) ? "'" + value : value;
    if (cell.find_first_of(",\"\r\n") == std::string::npos)
        return cell;
    std::string quoted = "\"";
    for (char c : cell)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// The fields of one record, quotes undone; `text` advances past it.
std::vector<std::string> ParseRecord(std::istream& text)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (int c; (c = text.get()) != EOF;) {
        if (quoted) {
            if (c == '"' && text.peek() == '"')
                fields.back() += static_cast<char>(text.get());
            else if (c == '"')
                quoted = false;
            else
                fields.back() += static_cast<char>(c);
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == '\n') {
            break;
        } else if (c != '\r') {
            fields.back() += static_cast<char>(c);
        }
    }
    return fields;
}

}  // namespace

CBatchLog::~CBatchLog()
{
    if (m_pFile && m_pFile != stdout)
        std::fclose(m_pFile);
}

bool CBatchLog::ReadEarlier(const std::string& path, EarlierRun& earlier, std::string& error)
{
    // Only a plain file holds rows; /dev/null or a pipe has none to read.
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored))
        return true;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot read the log: " + std::strerror(errno);
        return false;
    }
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (content.rfind(kByteOrderMark, 0) == 0)
        content.erase(0, std::strlen(kByteOrderMark));
    std::istringstream text(content);
    const std::vector<std::string> header = ParseRecord(text);
    std::map<std::string, std::size_t> column;
    for (std::size_t i = 0; i < header.size(); ++i)
        column[header[i]] = i;
    const auto field = [&](const std::vector<std::string>& row, const char* name) {
        const auto found = column.find(name);
        return found != column.end() && found->second < row.size() ? row[found->second]
                                                                   : std::string();
    };
    while (text.peek() != EOF) {
        const std::vector<std::string> row = ParseRecord(text);
        if (field(row, "result") != "ok")
            continue;
        for (const char* address : {"local address", "new address"})
            if (!field(row, address).empty())
                earlier.m_mapConfigured[field(row, address)] = field(row, "device name");
        const std::string number = field(row, "n");
        if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
            number.size() <= 9)
            earlier.m_nLastNumber = std::max(earlier.m_nLastNumber, std::stol(number));
    }
    return true;
}

bool CBatchLog::Open(const std::string& path, std::string& error)
{
    m_strPath = path.empty() ? "standard output" : path;
    if (path.empty()) {
        m_pFile = stdout;
        return WriteLine(kHeader, error);
    }
    m_pFile = std::fopen(path.c_str(), "ab");
    if (!m_pFile) {
        error = path + ": cannot write the log: " + std::strerror(errno);
        return false;
    }
    // A new or empty log begins with its header; rows of earlier runs stay.
    if (std::fseek(m_pFile, 0, SEEK_END) == 0 && std::ftell(m_pFile) == 0)
        return WriteLine(std::string(kByteOrderMark) + kHeader, error);
    return true;
}

bool CBatchLog::Append(const BatchRow& row, std::string& error)
{
    std::string line;
    for (const std::string* field :
         {&row.m_strTime, &row.m_strPort, &row.m_strNumber, &row.m_strAddress,
          &row.m_strNewAddress, &row.m_strFirmware, &row.m_strDeviceName})
        line += CsvField(*field) + ",";
    line += std::string(row.m_bOk ? "ok" : "failed") + "," + CsvField(row.m_strReason) + "\n";
    return WriteLine(line, error);
}

bool CBatchLog::WriteLine(const std::string& line, std::string& error)
{
    // The line goes out in one piece from the buffer: rows of several ports
    // never mix.
    const std::lock_guard lock(m_mutex);
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), m_pFile) == line.size() &&
        std::fflush(m_pFile) == 0)
        return true;
    error = m_strPath + ": the log could not be written: " +
            (errno != 0 ? std::strerror(errno) : "write failed");
    std::clearerr(m_pFile);
    return false;
}
