// A scripted stand-in for the operating system's serial operations: records
// each call, fails the calls a test names, and defers transfers on request,
// by the rules of the platform it stands for (ZR9_FAKE_POSIX_RULES: POSIX).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "output_drain.h"
#include "serial_platform.h"

struct CFakeSerialPlatform {
    // Win32 leaves transfers outstanding past their call, to their wait.
    // POSIX ends each inside its call, but a write the line still holds at
    // its time limit (posix_transfers.h); its reads are never deferred.
    enum class Rules : std::uint8_t { Win32, Posix };
#ifdef ZR9_FAKE_POSIX_RULES
    Rules m_rules = Rules::Posix;
#else
    Rules m_rules = Rules::Win32;
#endif
    bool Posix() const { return m_rules == Rules::Posix; }

    // Call name -> which calls of that name fail (1 = the first after Reset).
    std::map<std::string, std::set<int>> m_mapFailingCalls;
    std::map<std::string, int> m_mapCallsMade;
    std::uint32_t m_dwFailCode = 31;

    std::vector<std::string> m_vecCalls;  // calls in order; a test may clear it
    std::string m_strOpenedName;
    serial_platform::LineSettings m_settingsApplied;
    std::uint32_t m_dwInQueue = 0;
    std::uint32_t m_dwOutQueue = 0;
    std::vector<std::uint32_t> m_vecWaitLimits;  // time limits passed to WaitForCompletion
    std::vector<std::uint32_t> m_vecDrainLimits;  // time limits passed to DrainOutput
    // The line holds the output back: DrainOutput finds it still queued at
    // its limit, and RTS/CTS keeps it held.
    bool m_bOutputHeld = false;

    // Bytes waiting in the device's input queue, and bytes handed to the driver.
    std::vector<std::uint8_t> m_vecIncoming;
    std::vector<std::uint8_t> m_vecWritten;
    // Bytes handed to the driver that the line has not let out yet: they go
    // out when it does, unless a cancel or purge discards them first.
    std::size_t m_nOutQueued = 0;

    // The device went away: transfers and its line status fail with
    // kErrorDeviceRemoved. That code and an aborted transfer's mean so here.
    static constexpr std::uint32_t kErrorDeviceRemoved = 1617;
    bool m_bUnplugged = false;

    // The line, by the milliseconds m_nLineNowMs since a write's bytes were
    // handed over: queued until m_nQueueMs, CTS as given (else no handshake).
    // A write is done once its bytes have left; a Win32 write whose line is
    // scripted is deferred, and its wait watches the line.
    serial_platform::COutputLine::Cts (*m_pfnCtsAt)(long ms) = nullptr;
    long m_nQueueMs = 0;
    long m_nLineNowMs = 0;
    // The line holds every write's bytes for good (CTS low): a write is given
    // up at its time limit.
    bool m_bLineHoldsWrites = false;

    // Win32: reads and writes are reported in progress; a deferred write
    // completes at its wait once the line lets its bytes leave.
    bool m_bDeferReads = false;
    bool m_bDeferWrites = false;

    // The outstanding read, as the port started it.
    serial_platform::Overlapped* m_pPendingRead = nullptr;
    std::uint8_t* m_pbyPendingReadBuffer = nullptr;
    std::uint32_t m_dwPendingReadLength = 0;
    serial_platform::Overlapped* m_pPendingWrite = nullptr;
    std::uint32_t m_dwPendingWriteLength = 0;

    std::map<serial_platform::Handle, bool> m_mapEventSignalled;
    std::uint32_t m_dwLastError = 0;

    void Reset();
    void FailCall(const std::string& name, int occurrence = 1) { m_mapFailingCalls[name].insert(occurrence); }
    int CallCount(const std::string& name) const;
    // Completes the outstanding read with `bytes`, as the system would later.
    void CompleteRead(const std::vector<std::uint8_t>& bytes);
};

extern CFakeSerialPlatform FakePlatform;
