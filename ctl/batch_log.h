// The batch's CSV log: one row per module attempt, appended as whole lines
// by any port's thread. A new log begins with a UTF-8 byte-order mark, so
// that spreadsheets read its names as UTF-8.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

struct BatchRow {
    std::string m_strTime;
    std::string m_strPort;
    std::string m_strNumber;      // {n} of a configured module, empty otherwise
    std::string m_strAddress;     // the module's own address as read, empty if unread
    std::string m_strNewAddress;  // the address written, when it differs
    std::string m_strFirmware;
    std::string m_strDeviceName;  // as written, also when the attempt failed
    bool m_bOk = false;
    std::string m_strReason;
};

// What the rows of an earlier run say: the modules it configured, by every
// address they answered or answer with, and the highest {n} it gave.
struct EarlierRun {
    std::map<std::string, std::string> m_mapConfigured;  // address -> device name
    long m_nLastNumber = -1;                               // -1: none given
};

class CBatchLog {
public:
    CBatchLog() = default;
    ~CBatchLog();
    CBatchLog(const CBatchLog&) = delete;
    CBatchLog& operator=(const CBatchLog&) = delete;

    // Reads the rows of the log at `path`, if there is one; false with
    // `error` when it exists but cannot be read.
    static bool ReadEarlier(const std::string& path, EarlierRun& earlier, std::string& error);

    // Opens `path` for appending, or standard output when it is empty; a new
    // or empty file gets the byte-order mark and the header.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return m_pFile != nullptr; }
    // Appends the row with one write; false with `error` when it was not
    // written whole (a full disk, a lost drive).
    bool Append(const BatchRow& row, std::string& error);

private:
    bool WriteLine(const std::string& line, std::string& error);

    std::mutex m_mutex;
    std::FILE* m_pFile = nullptr;
    std::string m_strPath;
};
