// A scripted stand-in for the operating system's serial operations: records
// each call, fails the calls a test names, and defers transfers on request.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "output_drain.h"
#include "serial_platform.h"

struct CFakeSerialPlatform {
    // POSIX's rules (posix_transfers.h), not Win32's: every transfer stops inside its call.
    static constexpr bool kPosixRules = ZR9_FAKE_POSIX_RULES;
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
    std::vector<std::uint32_t> m_vecCancelLimits;  // time limits passed to AwaitCancelled
    std::vector<std::uint32_t> m_vecDrainLimits;  // time limits passed to DrainOutput
    // The line holds the output back: DrainOutput finds it still queued at
    // its limit, and RTS/CTS keeps it held.
    bool m_bOutputHeld = false;

    // Bytes waiting in the device's input queue, and bytes sent.
    std::vector<std::uint8_t> m_vecIncoming;
    std::vector<std::uint8_t> m_vecWritten;
    int m_nOutputDiscards = 0;  // cancels that discard what the line holds back

    // The device went away: transfers and its line status fail with
    // kErrorDeviceRemoved. That code and an aborted transfer's mean so here.
    static constexpr std::uint32_t kErrorDeviceRemoved = 1617;
    bool m_bUnplugged = false;

    // A line as a POSIX driver shows it, by the milliseconds m_nLineNowMs since
    // a write's bytes were handed over: queued until m_nQueueMs, CTS as given.
    serial_platform::COutputLine::Cts (*m_pfnCtsAt)(long ms) = nullptr;
    long m_nQueueMs = 0;
    long m_nLineNowMs = 0;

    bool m_bDeferReads = false;
    bool m_bDeferWrites = false;
    // A deferred write completes when it is waited for, unless this is false (POSIX: CTS low).
    bool m_bWritesCompleteOnWait = true;
    bool m_bDriverWedged = false;  // it never finishes a cancel (wedged by a surprise removal)
    int m_nOwnedRecordsReused = 0;  // transfers started on a record the system owns

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
