// The fake window and the module's pseudo-terminal, with the process-wide
// state put back to its start-up values before each test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "commands.h"
#include "connection.h"
#include "fake_window.h"
#include "pty_module.h"
#include "reply.h"
#include "serialport.h"

class CProtocolFixture : public ::testing::Test {
protected:
    static constexpr int kPortIndex = 4;  // COM5

    void SetUp() override;
    void TearDown() override { SerialPort.Close(); }

    // SetPort is refused only while a device is held.
    bool PortIsOpen() { return SerialPort.SetPort(kPortIndex) == 0; }

    // Connects with the module accepting at once; clears the window's log.
    void ConnectAccepted();
    // Runs the window's events until the fake clock has reached `atMs`.
    void RunUntil(long atMs);

    CPtyModule m_module{kPortIndex};
    CFakeWindow m_window;
};

// A "+PWD" answer: status byte, then the version bytes.
std::string PasswordAnswer(char status, std::uint8_t major, std::uint8_t minor);
