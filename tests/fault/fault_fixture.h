// The window offscreen with every box closed by the test, and the steps of
// a session: pick a port, click, check where the window ended up.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fault_support.h"
#include "sim_process.h"
#include "tform1.h"

class CWindowFixture : public ::testing::Test {
protected:
    static constexpr int kCom = 3;
    // The longest wait (Connect's 2000 ms) plus room for a loaded machine.
    static constexpr long kWaitLimitMs = 2000 + 4000;

    void SetUp() override;
    void TearDown() override;

    // zr9-module-sim serving COMn; throws when it does not start.
    std::unique_ptr<CSimProcess> StartSimulator(const std::vector<std::string>& options = {});
    // Port discovery, then COMn picked from the list.
    void PickPort(int com);
    // Clicks and returns how long the click took to run, in milliseconds.
    long Click(QAbstractButton* button);
    std::string ConnectCaption() const;
    std::string LocalName() const;
    // Clicks Connect and expects it to fail at its timer: in time, with the
    // one error box and at most one line on standard error, back to idle.
    void ExpectConnectEndsAtTheTimer();
    // Connect, Read (the fields show `expectedName`), Write, Disconnect.
    void ExpectGoodSession(const std::string& expectedName);

    CPortFolder m_ports;
    CBoxCloser m_boxes;
    std::unique_ptr<TForm1> m_form;
};

// A module profile whose device name is `name`, as the simulator's option.
std::string ProfileHexNamed(const std::string& name);
ProfileBytes ProfileNamed(const std::string& name);
