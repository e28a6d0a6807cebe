// zr9ctl batch: one module after another on the same port, each read, given
// the profile, verified, rebooted and logged.
#pragma once

#include <string>
#include <vector>

#include "console.h"
#include "profile_file.h"
#include "zr9ctl.h"

// The counter {n} and the module's own address {addr}, {addr3} in --set values.
struct Placeholders {
    long m_nCounter = 1;
    // Digits of {n}: --first 001 counts 001, 002, ...
    int m_nWidth = 1;

    // `text` with {n}, {addr} (the 12 characters of the module's own address)
    // and {addr3} (its last 3 pairs) replaced.
    std::string Expand(const std::string& text, const ProfileView& module) const;
};

// "2026-12-09 10:01:19": now, as the log's rows and a read file's comment give it.
std::string LocalTime();

// Applies each "Name=value" of --set, expanded for `module`, to `view`.
bool ApplySettings(const std::vector<std::string>& assignments, const Placeholders& placeholders,
                   const ProfileView& module, ProfileView& view, std::string& error);

struct BatchOptions {
    CPortChoice m_port;
    std::string m_strPassword;
    CProfileSettings m_profile;
    std::vector<std::string> m_vecSettings;
    Placeholders m_placeholders;
    std::string m_strLogPath;  // empty: rows on standard output
};

// Runs until Ctrl+C; returns kExitSuccess when no module failed.
int RunBatch(CConsole& console, BatchOptions options);
