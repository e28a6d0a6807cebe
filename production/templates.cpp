#include "templates.h"

#include <cctype>
#include <cstdio>

#include "profile_file.h"

namespace {

const char* const kPlaceholderNames[] = {"n", "addr", "addr3"};

// Every byte but letters and digits as "\xHH", as profile files escape a byte.
std::string EscapeModuleText(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80) {
            escaped += c;
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
        escaped += hex;
    }
    return escaped;
}

// A view whose own address is "000000000000", for checks before any module.
ProfileView SampleModule()
{
    ProfileView sample;
    for (std::string* pair : LocalAddressPairs(sample))
        *pair = "00";
    return sample;
}

}  // namespace

std::string Placeholders::Counter(long counter) const
{
    std::string digits = std::to_string(counter);
    if (static_cast<int>(digits.size()) < m_nWidth)
        digits.insert(0, static_cast<std::size_t>(m_nWidth) - digits.size(), '0');
    return digits;
}

std::string Placeholders::Expand(const std::string& text, const ProfileView& module) const
{
    std::string address, lastPairs;
    const auto pairs = LocalAddressPairs(module);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        address += *pairs[i];
        if (i >= pairs.size() - 3)
            lastPairs += *pairs[i];
    }
    std::string expanded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t close = text[i] == '{' ? text.find('}', i) : std::string::npos;
        if (close == std::string::npos) {
            expanded += text[i];
            continue;
        }
        const std::string name = text.substr(i + 1, close - i - 1);
        expanded += name == "n"      ? Counter(m_nCounter)
                    : name == "addr" ? EscapeModuleText(address)
                                     : EscapeModuleText(lastPairs);
        i = close;
    }
    return expanded;
}

bool CheckPlaceholders(const std::vector<std::string>& assignments, std::string& error)
{
    for (const std::string& assignment : assignments) {
        for (std::size_t i = 0; i < assignment.size(); ++i) {
            if (assignment[i] == '}') {
                error = assignment + ": \"}\" without \"{\" (a literal one is \\x7D)";
                return false;
            }
            if (assignment[i] != '{')
                continue;
            const std::size_t close = assignment.find_first_of("{}", i + 1);
            if (close == std::string::npos || assignment[close] != '}') {
                error = assignment + ": \"{\" is not closed (a literal one is \\x7B)";
                return false;
            }
            const std::string name = assignment.substr(i + 1, close - i - 1);
            bool known = false;
            for (const char* placeholder : kPlaceholderNames)
                known = known || name == placeholder;
            if (!known) {
                error = assignment + ": unknown placeholder {" + name +
                        "} (there are {n}, {addr} and {addr3})";
                return false;
            }
            i = close;
        }
    }
    return true;
}

namespace {

// Applies the assignments; the one that does not parse is `failed`.
bool ApplyEach(const std::vector<std::string>& assignments, const Placeholders& placeholders,
               const ProfileView& module, ProfileView& view, std::string& error,
               const std::string*& failed)
{
    CProfileSettings settings;
    for (const std::string& assignment : assignments) {
        if (!settings.Parse(placeholders.Expand(assignment, module), error)) {
            error = assignment + ": " + error;
            failed = &assignment;
            return false;
        }
    }
    settings.ApplyTo(view);
    return true;
}

}  // namespace

bool ApplySettings(const std::vector<std::string>& assignments, const Placeholders& placeholders,
                   const ProfileView& module, ProfileView& view, std::string& error)
{
    const std::string* failed = nullptr;
    return ApplyEach(assignments, placeholders, module, view, error, failed);
}

long FirstCounterThatFails(const std::vector<std::string>& assignments,
                           const Placeholders& placeholders, std::string& error)
{
    // Values only grow with the number of digits: the first counter of each
    // length stands for all of that length.
    const ProfileView sample = SampleModule();
    Placeholders at = placeholders;
    for (;;) {
        ProfileView ignored;
        const std::string* failed = nullptr;
        if (!ApplyEach(assignments, at, sample, ignored, error, failed)) {
            // The counter is named only where it takes part.
            if (failed->find("{n}") != std::string::npos)
                error += " (at {n} = " + at.Counter(at.m_nCounter) + ")";
            return at.m_nCounter;
        }
        const std::size_t digits = at.Counter(at.m_nCounter).size();
        if (digits >= 9)
            return 0;
        long next = 1;
        for (std::size_t i = 0; i < digits; ++i)
            next *= 10;
        at.m_nCounter = next;
    }
}
