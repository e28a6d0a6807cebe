// --set values as templates: "Device Name=Pump {n}" gives each module its own
// value. {n} is the counter, {addr} the module's own address as 12
// characters, {addr3} its last 3 pairs.
#pragma once

#include <string>
#include <vector>

#include "profile.h"

struct Placeholders {
    long m_nCounter = 1;
    // Digits of {n}: --first 001 counts 001, 002, ...
    int m_nWidth = 1;

    // {n} as `counter` gives it.
    std::string Counter(long counter) const;
    // `text` with its placeholders replaced; the module's bytes are escaped,
    // so that a value parses to them whatever they are. `text` has passed
    // CheckPlaceholders.
    std::string Expand(const std::string& text, const ProfileView& module) const;
};

// False with `error` when an assignment names an unknown placeholder or
// leaves a brace open. A literal brace is written "\x7B" or "\x7D". Errors
// begin with the assignment; the front end says how it was given.
bool CheckPlaceholders(const std::vector<std::string>& assignments, std::string& error);

// Applies each "Name=value" of --set, expanded for `module`, to `view`.
bool ApplySettings(const std::vector<std::string>& assignments, const Placeholders& placeholders,
                   const ProfileView& module, ProfileView& view, std::string& error);

// The first counter from `placeholders.m_nCounter` on whose values do not
// parse (a name grown too long), with `error` saying why (and naming the
// counter when the value that fails holds {n}); 0 when every
// counter up to 9 digits gives valid values. Values that do not hold even for
// the first counter give that counter.
long FirstCounterThatFails(const std::vector<std::string>& assignments,
                           const Placeholders& placeholders, std::string& error);
