// The production run's log: the run's record, one CSV file a spreadsheet
// opens. Every step that matters to a module is a row, flushed to the disk
// before the next step: the number a module is about to get is recorded
// ("writing") before its Write is sent, and the outcome ("ok" or "failed")
// after it, so that after a kill or a power cut at any instant the log alone
// says which numbers are taken and which module was being written.
//
//   <BOM>time,port,n,local address,new address,firmware,device name,result,reason
//   2026-12-09 10:00:00,,,,,,,settings,profile 3f2a9c0d12e4b705; first 001; set Device Name=Pump {n}
//   2026-12-09 10:00:05,COM3,001,02:A2:01:A2:00:A1,,1.03,Pump 001,writing,
//   2026-12-09 10:00:06,COM3,001,02:A2:01:A2:00:A1,,1.03,Pump 001,ok,
//
// The settings are one text cell, which a spreadsheet keeps as it is (in a
// cell of its own "001" would come back as 1); in a value ';', '\', control
// bytes and blanks at either end are written "\xHH". A cell a spreadsheet
// would take for a formula ("=SUM(A1)") is written with an apostrophe before
// it, undone on reading. A log re-saved by a spreadsheet with commas (CRLF,
// no byte-order mark, quotes added or dropped) reads as the log it was.
//
// A log written before the run's settings were recorded (no settings row)
// is still read; its settings are those of the run that resumes it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The file under the log, so that tests replay a kill, a cut row or a full
// disk from memory. Every call that fails says why in `error` (the
// platform's own words, naming the path).
class ILogFile {
public:
    virtual ~ILogFile() = default;
    // The whole content, or nullopt when there is no file yet.
    virtual bool ReadAll(std::optional<std::string>& content, std::string& error) = 0;
    // Takes the file for this process alone, for as long as the object lives.
    // False with `holder` ("zr9ctl (process 4242)") when another has it.
    virtual bool Lock(std::string& holder, std::string& error) = 0;
    // Appends `bytes` and flushes them to the disk (fsync, FlushFileBuffers).
    virtual bool AppendDurably(const std::string& bytes, std::string& error) = 0;
    virtual const std::string& Path() const = 0;
    // Standard output: a new log there has no byte-order mark, which only a
    // spreadsheet reading a file wants.
    virtual bool IsStandardOutput() const { return false; }
};

// The real file at `path`; its lock is a file beside it ("pumps.csv.lock")
// that names the holder. An empty path is standard output: nothing to read,
// nothing to lock, rows flushed as they come. A device or a pipe (/dev/null)
// has no rows to read and takes no lock.
std::unique_ptr<ILogFile> OpenLogFile(const std::string& path);

struct RunLogRow {
    enum class Result { Writing, Ok, Failed };
    std::string m_strTime;
    std::string m_strPort;
    std::string m_strNumber;      // {n} as written ("001"); empty when no number was taken
    std::string m_strAddress;     // the module's own address as read, canonical; empty if unread
    std::string m_strNewAddress;  // the address written, when it differs
    std::string m_strFirmware;
    std::string m_strDeviceName;  // as written, also when the attempt failed
    Result m_result = Result::Failed;
    std::string m_strReason;

    // The address the module answers with after this row.
    const std::string& CurrentAddress() const
    {
        return m_strNewAddress.empty() ? m_strAddress : m_strNewAddress;
    }
};

// What a run is asked to do, as the log records it; a resume must ask the same.
struct RunLogSettings {
    std::string m_strProfileDigest;          // of the profile's fields, see ProfileDigest
    std::string m_strFirst;                  // --first as given: "001" sets {n}'s width
    std::vector<std::string> m_vecSettings;  // --set values, in order

    bool operator==(const RunLogSettings&) const = default;
};

// What the rows of earlier runs say.
struct EarlierRows {
    std::optional<RunLogSettings> m_settings;  // none in a log of an older zr9ctl
    // Modules configured: each ok row, in the file's order. The address the
    // module answers with now is CurrentAddress() (the new address when one
    // was written). Addresses read are upper case, as the module reports them.
    std::vector<RunLogRow> m_vecConfigured;
    // A "writing" row with no outcome (ok or failed row of the same number,
    // or of the same address where it has no number) after it: the run ended
    // (kill, power cut) while that module was being written. Its number
    // stays taken. A row set aside whose number was whole and that no later
    // row ends is here too, with what of it was whole.
    std::vector<RunLogRow> m_vecInterrupted;
    // Failed rows, for the modules still not configured: the last one of
    // each address, none whose module a later ok row configured.
    std::vector<RunLogRow> m_vecFailed;
    // Numbers taken (ok or interrupted rows, rows set aside); every other one
    // is free again.
    std::set<long> m_setTakenNumbers;
    // What the reader set aside, each a sentence naming the file and line, e.g.
    // "pumps.csv: line 14 was cut short (a power cut or a full disk?) and is
    // set aside; its number 005 stays taken".
    std::vector<std::string> m_vecNotes;
};

class CRunLog {
public:
    explicit CRunLog(std::unique_ptr<ILogFile> file);

    // Takes the log for this process and reads what earlier runs wrote.
    // False with `error` (naming the file and what was expected) when it is
    // held by another process ("pumps.csv is in use by zr9ctl (process 4242)"),
    // is not this tool's log (a ';' export, a profile file, an empty header),
    // or cannot be read; nothing has been written then.
    bool OpenAndRead(EarlierRows& earlier, std::string& error);
    // Ends a row an earlier run left cut short, writes the header to a new
    // log, and the settings row of this run. Takes and reads the log first
    // when OpenAndRead has not.
    bool Begin(const RunLogSettings& settings, std::string& error);
    // Appends one row (after Begin), flushed to the disk before it returns;
    // an empty time is the local time now. Safe from several threads; rows
    // never mix.
    bool Append(const RunLogRow& row, std::string& error);

private:
    // Writes `bytes` after what ends a cut row; the caller holds m_mutex.
    bool WriteLocked(const std::string& bytes, std::string& error);

    std::unique_ptr<ILogFile> m_file;
    std::mutex m_mutex;
    bool m_bRead = false;
    bool m_bNeedsHeader = false;         // a new or empty file
    bool m_bNeedsByteOrderMark = false;  // ... that has none yet
    std::string m_strEndCutRow;          // "\n", or "\"\n" inside a quote, for a cut last row
};

// "3f2a9c0d12e4b705": a digest (FNV-1a, 64 bits) of what a profile file sets:
// the names of its fields and their values as FormatProfileValue writes them,
// in the fields' order, the same whatever the file's comments, order or spacing.
class CProfileSettings;
std::string ProfileDigest(const CProfileSettings& profile);

// "2026-12-09 10:01:19": now, local time, as the rows and zr9ctl's profile
// comments give it.
std::string LocalTimeText();
