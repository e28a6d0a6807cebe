// zr9ctl batch: modules one after another on each of its ports, each read,
// given the profile, verified, rebooted and logged. Every port has a thread
// of its own; they share only the coordinator (log, counter, the addresses
// configured), so that a slow or silent port holds up no other.
#pragma once

#include <string>
#include <vector>

#include "console.h"
#include "profile_file.h"
#include "templates.h"
#include "zr9ctl.h"

// "2026-12-09 10:01:19": now, as the log's rows and a read file's comment give it.
std::string LocalTime();

struct BatchOptions {
    std::vector<CPortChoice> m_vecPorts;
    std::string m_strPassword;
    CProfileSettings m_profile;
    std::vector<std::string> m_vecSettings;
    Placeholders m_placeholders;
    std::string m_strLogPath;  // empty: rows on standard output
};

// Runs until a stop signal, or until the log cannot be written. Returns
// kExitSuccess when no module failed, kExitModuleFailed when one did or the
// log could not be written, kExitUsage when the log cannot be read or opened.
int RunBatch(CConsole& console, const BatchOptions& options);
