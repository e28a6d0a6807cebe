// What a production run knows of the modules, shared by its ports: the
// numbers taken, the modules configured (by this run, and by earlier ones as
// the log records them), the modules met and still not configured, and the
// target. Every call takes the ledger's own lock, only for its bookkeeping.
//
// A module is known by the address it answers with AND the profile it was
// given: fresh modules often share one factory address, and a module with a
// known address but another profile is another module.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "production_run.h"
#include "profile.h"
#include "run_log.h"

// A module configured, or being configured when an earlier run ended.
struct KnownModule {
    std::string m_strAddress;     // as it was read before it was configured
    std::string m_strNowAddress;  // the address it answers with since
    std::string m_strNumber;      // {n} as written ("005")
    std::string m_strDeviceName;
};

class CModuleLedger {
public:
    // `profile` and `settings` outlive the ledger.
    CModuleLedger(const CProfileSettings& profile, const std::vector<std::string>& settings);

    // The first {n} and its width, and what earlier runs recorded.
    void Begin(long first, int width, const EarlierRows& earlier, long target);

    // {n} as written for `number`.
    std::string NumberText(long number) const;
    // The profile the run gives the module read as `module`: the profile's
    // fields and the --set values for {n} = `number` and {addr} = `address`
    // (the module's own before it got a new one). False with `error` when a
    // value does not fit.
    bool ProfileFor(const ProfileView& module, const std::string& address, long number,
                    ProfileView& view, std::string& error) const;

    // The configured module that the module read as `record` is, if it is
    // one: it answers with that module's address and holds the profile the
    // run gave it.
    std::optional<KnownModule> FindConfigured(const ProfileBytes& record) const;
    // True while the module read as `record` still is `known`.
    bool StillHolds(const KnownModule& known, const ProfileBytes& record) const;

    // The number for the module read as `record`, which is about to be
    // configured: the number it may hold already, if it is a module being
    // written when an earlier run ended or one that failed after its Write
    // in this run; else the lowest number not taken.
    long TakeNumber(const ProfileBytes& record);
    // A number whose module was not configured: free again when nothing was
    // written, else held for that module until the run ends (the module may
    // hold it, and another module with it could not be told from this one).
    void GiveBack(long number);
    void HoldFor(const KnownModule& module);
    // The numbers the next `count` modules would get.
    std::vector<long> NextNumbers(std::size_t count) const;

    // A port may begin to configure a module unless the target is met or
    // about to be by the modules being configured; each slot taken is
    // ended by Configured or NotConfigured.
    bool TakeSlot();
    bool TargetReached() const;

    // A module configured; the name of another configured module answering
    // with the same address, when there is one.
    std::optional<std::string> Configured(const KnownModule& module);
    // A module not configured; `addresses` are the ones it may answer with
    // (none when it was never read).
    void NotConfigured(const std::vector<std::string>& addresses, const std::string& port,
                       const std::string& reason, bool slotTaken);

    RunCounts Counts() const;
    std::vector<UnconfiguredModule> StillNotConfigured() const;

private:
    struct Unconfigured {
        std::vector<std::string> m_vecAddresses;
        UnconfiguredModule m_module;
    };

    bool HoldsLocked(const KnownModule& known, const ProfileBytes& record) const;
    long FreeNumberLocked(long from) const;

    const CProfileSettings& m_profile;
    const std::vector<std::string>& m_vecSettings;
    mutable std::mutex m_mutex;
    long m_nFirst = 1;
    int m_nWidth = 1;
    long m_nTarget = 0;
    std::set<long> m_setTaken;
    std::vector<KnownModule> m_vecConfigured;  // earlier runs' first, then this run's
    std::vector<KnownModule> m_vecHeld;  // numbers their modules may hold
    std::vector<Unconfigured> m_vecUnconfigured;
    long m_nConfigured = 0;  // by this run
    long m_nBusy = 0;        // slots taken and not yet ended
};
