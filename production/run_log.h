// The production run's log: the run's record, one CSV file a spreadsheet
// opens. Every step that matters to a module is a row, flushed to the disk
// before the next step: the number a module is about to get is recorded
// ("writing") before its Write is sent, and the outcome ("ok" or "failed")
// after it, so that after a kill or a power cut at any instant the log alone
// says which numbers are taken and which module was being written.
//
//   <BOM>time,port,n,local address,new address,firmware,device name,result,reason
//   2026-12-09 10:00:00,,001,,,,,settings,"profile 3f2a...; first 001; set Device Name=Pump {n}"
//   2026-12-09 10:00:05,COM3,001,02:A2:01:A2:00:A1,,1.03,Pump 001,writing,
//   2026-12-09 10:00:06,COM3,001,02:A2:01:A2:00:A1,,1.03,Pump 001,ok,
//
// A log written before the run's settings were recorded (no settings row)
// is still read; its settings are those of the run that resumes it.
#pragma once

#include <map>
#include <memory>
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
};

// The real file at `path`; its lock is a file beside it that names the holder.
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
    // Modules configured: each ok row, by the address it answers with now
    // (the new address when one was written).
    std::vector<RunLogRow> m_vecConfigured;
    // A "writing" row with no outcome after it: the run ended (kill, power
    // cut) while that module was being written. Its number stays taken.
    std::vector<RunLogRow> m_vecInterrupted;
    // Failed rows, for the modules still not configured.
    std::vector<RunLogRow> m_vecFailed;
    // Numbers taken (ok or interrupted rows); every other one is free again.
    std::set<long> m_setTakenNumbers;
    // What the reader set aside, each a sentence naming the line, e.g.
    // "line 14 was cut short (a power cut or a full disk?) and is set aside".
    std::vector<std::string> m_vecNotes;
};

class CRunLog {
public:
    explicit CRunLog(std::unique_ptr<ILogFile> file);

    // Takes the log for this process and reads what earlier runs wrote.
    // False with `error` (naming the file and what was expected) when it is
    // held by another process, is not this tool's log (a ';' export, a profile
    // file, an empty header), or cannot be read; nothing has been written then.
    bool OpenAndRead(EarlierRows& earlier, std::string& error);
    // Ends a row an earlier run left cut short, writes the header to a new
    // log, and the settings row of this run.
    bool Begin(const RunLogSettings& settings, std::string& error);
    // Appends one row, flushed to the disk before it returns. Safe from
    // several threads; rows never mix.
    bool Append(const RunLogRow& row, std::string& error);

private:
    std::unique_ptr<ILogFile> m_file;
    // ... (implementation's own state)
};

// "3f2a9c..." : a digest of what a profile file sets, the same for the same
// fields and values whatever the file's comments, order or spacing.
class CProfileSettings;
std::string ProfileDigest(const CProfileSettings& profile);
