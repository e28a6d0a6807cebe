#include "module_ledger.h"

#include <algorithm>

#include "module_steps.h"
#include "templates.h"

namespace {

ProfileView ViewOf(const ProfileBytes& record)
{
    ProfileView view;
    DecodeProfileRecord(record, view);
    return view;
}

long NumberOf(const std::string& text)
{
    return !text.empty() && text.size() <= 9 &&
                   text.find_first_not_of("0123456789") == std::string::npos
               ? std::stol(text)
               : -1;
}

bool AnswersWith(const KnownModule& module, const std::string& address)
{
    return address == module.m_strNowAddress || address == module.m_strAddress;
}

}  // namespace

CModuleLedger::CModuleLedger(const CProfileSettings& profile,
                             const std::vector<std::string>& settings)
    : m_profile(profile), m_vecSettings(settings)
{
}

void CModuleLedger::Begin(long first, int width, const EarlierRows& earlier, long target)
{
    const std::lock_guard lock(m_mutex);
    m_nFirst = first;
    m_nWidth = width;
    m_nTarget = target;
    m_setTaken = earlier.m_setTakenNumbers;
    const auto known = [](const RunLogRow& row) {
        return KnownModule{row.m_strAddress, row.CurrentAddress(), row.m_strNumber,
                           row.m_strDeviceName};
    };
    for (const RunLogRow& row : earlier.m_vecConfigured)
        m_vecConfigured.push_back(known(row));
    for (const RunLogRow& row : earlier.m_vecInterrupted)
        m_vecHeld.push_back(known(row));
}

std::string CModuleLedger::NumberText(long number) const
{
    Placeholders placeholders;
    placeholders.m_nWidth = m_nWidth;
    return placeholders.Counter(number);
}

bool CModuleLedger::ProfileFor(const ProfileView& module, const std::string& address,
                               long number, ProfileView& view, std::string& error) const
{
    // {addr} is the address the module had when it was first configured.
    ProfileView asMet = module;
    CProfileSettings original;
    if (!address.empty() && original.Parse("Local Address = " + address, error))
        original.ApplyTo(asMet);
    Placeholders placeholders;
    placeholders.m_nCounter = number;
    placeholders.m_nWidth = m_nWidth;
    view = module;
    m_profile.ApplyTo(view);
    return ApplySettings(m_vecSettings, placeholders, asMet, view, error);
}

bool CModuleLedger::HoldsLocked(const KnownModule& known, const ProfileBytes& record) const
{
    const ProfileView module = ViewOf(record);
    if (!AnswersWith(known, StoredAddressOf(module)))
        return false;
    ProfileView given;
    std::string ignored;
    return ProfileFor(module, known.m_strAddress, std::max(NumberOf(known.m_strNumber), 0L),
                      given, ignored) &&
           ProfileKept(RecordToWrite(given), record, ignored);
}

std::optional<KnownModule> CModuleLedger::FindConfigured(const ProfileBytes& record) const
{
    const std::lock_guard lock(m_mutex);
    // The latest first: a module configured again answers as it was last.
    for (auto known = m_vecConfigured.rbegin(); known != m_vecConfigured.rend(); ++known)
        if (HoldsLocked(*known, record))
            return *known;
    return std::nullopt;
}

bool CModuleLedger::StillHolds(const KnownModule& known, const ProfileBytes& record) const
{
    const std::lock_guard lock(m_mutex);
    return HoldsLocked(known, record);
}

long CModuleLedger::FreeNumberLocked(long from) const
{
    long number = std::max(from, m_nFirst);
    while (m_setTaken.count(number))
        ++number;
    return number;
}

long CModuleLedger::TakeNumber(const ProfileBytes& record)
{
    const std::lock_guard lock(m_mutex);
    // A module that may hold a number already: it answers with the new
    // address it was given, or shows the profile it was being given.
    const std::string address = StoredAddressOf(ViewOf(record));
    for (auto held = m_vecHeld.begin(); held != m_vecHeld.end(); ++held) {
        const bool newAddress =
            held->m_strNowAddress != held->m_strAddress && address == held->m_strNowAddress;
        const long number = NumberOf(held->m_strNumber);
        if (number >= 0 && (newAddress || HoldsLocked(*held, record))) {
            m_vecHeld.erase(held);
            m_setTaken.insert(number);
            return number;
        }
    }
    const long number = FreeNumberLocked(m_nFirst);
    m_setTaken.insert(number);
    return number;
}

void CModuleLedger::GiveBack(long number)
{
    const std::lock_guard lock(m_mutex);
    m_setTaken.erase(number);
}

void CModuleLedger::HoldFor(const KnownModule& module)
{
    const std::lock_guard lock(m_mutex);
    m_vecHeld.push_back(module);
}

std::vector<long> CModuleLedger::NextNumbers(std::size_t count) const
{
    const std::lock_guard lock(m_mutex);
    std::vector<long> numbers;
    for (long number = m_nFirst; numbers.size() < count; ++number) {
        number = FreeNumberLocked(number);
        numbers.push_back(number);
    }
    return numbers;
}

bool CModuleLedger::TakeSlot()
{
    const std::lock_guard lock(m_mutex);
    if (m_nTarget > 0 && m_nConfigured + m_nBusy >= m_nTarget)
        return false;
    ++m_nBusy;
    return true;
}

bool CModuleLedger::TargetReached() const
{
    const std::lock_guard lock(m_mutex);
    return m_nTarget > 0 && m_nConfigured >= m_nTarget;
}

std::optional<std::string> CModuleLedger::Configured(const KnownModule& module)
{
    const std::lock_guard lock(m_mutex);
    --m_nBusy;
    ++m_nConfigured;
    // A module that failed earlier in the run, now configured.
    std::erase_if(m_vecUnconfigured, [&](const Unconfigured& entry) {
        return std::find(entry.m_vecAddresses.begin(), entry.m_vecAddresses.end(),
                         module.m_strAddress) != entry.m_vecAddresses.end();
    });
    std::optional<std::string> sharer;
    for (const KnownModule& other : m_vecConfigured)
        if (other.m_strNowAddress == module.m_strNowAddress)
            sharer = other.m_strDeviceName;
    m_vecConfigured.push_back(module);
    return sharer;
}

void CModuleLedger::NotConfigured(const std::vector<std::string>& addresses,
                                  const std::string& port, const std::string& reason,
                                  bool slotTaken)
{
    const std::lock_guard lock(m_mutex);
    if (slotTaken)
        --m_nBusy;
    const UnconfiguredModule module{addresses.empty() ? "" : addresses.front(), port, reason};
    // The same module failing again is still one module.
    for (Unconfigured& entry : m_vecUnconfigured) {
        const bool same = std::any_of(addresses.begin(), addresses.end(), [&](const auto& address) {
            return std::find(entry.m_vecAddresses.begin(), entry.m_vecAddresses.end(), address) !=
                   entry.m_vecAddresses.end();
        });
        if (same) {
            entry.m_module = module;
            entry.m_vecAddresses.insert(entry.m_vecAddresses.end(), addresses.begin(),
                                        addresses.end());
            return;
        }
    }
    m_vecUnconfigured.push_back({addresses, module});
}

RunCounts CModuleLedger::Counts() const
{
    const std::lock_guard lock(m_mutex);
    return {m_nConfigured, static_cast<long>(m_vecUnconfigured.size()), m_nTarget};
}

std::vector<UnconfiguredModule> CModuleLedger::StillNotConfigured() const
{
    const std::lock_guard lock(m_mutex);
    std::vector<UnconfiguredModule> modules;
    for (const Unconfigured& entry : m_vecUnconfigured)
        modules.push_back(entry.m_module);
    return modules;
}
