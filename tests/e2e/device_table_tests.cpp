// The port list and the status bar over the real device table (ZR9_PORT_DIR
// unset), in the virtual machine of tests/drivers/test-drivers.sh, which runs
// this program: COM1 is the guest's console, COM2 its 16550A, COM3 and COM4
// have no UART, COM5 is QEMU's FTDI adapter and COM21 the CDC-ACM device; the
// device nodes belong to the dialout group. Not for ctest: it needs that guest.
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <QStringList>
#include <string>
#include <vector>

#include "qt_test_support.h"
#include "serial_platform.h"
#include "sim_process.h"
#include "tform1.h"

namespace {

// What the status bar must say, and must not say, in each situation; "{pid}"
// stands for the process id of the program holding a port.
struct StatusText {
    std::vector<std::string> holds;
    std::vector<std::string> lacks;
};
// The serial numbers are those the harness gives QEMU's adapter and the gadget.
// The console is named only when nothing opened.
const StatusText kAfterDiscovery = {
    {"COM21: ", "Gadget Serial v2.4", "serial ZR9TEST0021"},
    {"COM1", "console", "COM3", "COM4"}};
const StatusText kCom5Chosen = {{"COM5: ", "QEMU USB SERIAL", "serial ZR9TEST0001"}, {}};
const StatusText kCom5Held = {{"COM5 (", "in use by zr9-module-sim (process {pid})"},
                              {"COM3", "COM4"}};
const StatusText kNotInTheGroup = {
    {"COM2 (", "COM5 (", "COM21 (", "join the dialout group"}, {"COM3", "COM4"}};

class DeviceTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Discovery here opens the machine's own serial devices.
        if (!getenv("ZR9_DRIVERS_GUEST"))
            GTEST_SKIP() << "only in the virtual machine of tests/drivers/test-drivers.sh";
        ASSERT_EQ(getenv("ZR9_PORT_DIR"), nullptr);
        ResetProcessState();
    }

    QStringList DropDown()
    {
        m_form.cmbComSelDropDown();
        QStringList items;
        for (int i = 0; i < m_form.cmbComSel->count(); ++i)
            items << m_form.cmbComSel->itemText(i);
        return items;
    }

    void ExpectStatus(const StatusText& expected, const std::string& pid = "")
    {
        const std::string status = m_form.lblPortStatus->text().toStdString();
        for (std::string text : expected.holds) {
            if (const auto at = text.find("{pid}"); at != std::string::npos)
                text.replace(at, 5, pid);
            EXPECT_NE(status.find(text), std::string::npos) << "\"" << text << "\" in: " << status;
        }
        for (const std::string& text : expected.lacks)
            EXPECT_EQ(status.find(text), std::string::npos) << "\"" << text << "\" in: " << status;
    }

    static std::string DeviceOf(int com) { return serial_platform::DefaultPosixPortName(com - 1); }

    TForm1 m_form;
};

TEST_F(DeviceTable, ListsTheDevicesThatExistAndNeverOpensTheConsole)
{
    if (getuid() != 0)
        GTEST_SKIP() << "run as root";
    const int opens = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(opens, DeviceOf(1).c_str(), IN_OPEN), 0);

    EXPECT_EQ(DropDown(), QStringList({"COM2", "COM5", "COM21"}));
    ExpectStatus(kAfterDiscovery);
    char event[4096];
    EXPECT_LT(read(opens, event, sizeof event), 0) << "the console was opened";
    close(opens);

    emit m_form.cmbComSel->activated(1);
    ExpectStatus(kCom5Chosen);
}

TEST_F(DeviceTable, APortHeldByAnotherProgramIsNamedWithIt)
{
    if (getuid() != 0)
        GTEST_SKIP() << "run as root";
    CSimProcess holder({"--device", DeviceOf(5)});
    ASSERT_TRUE(holder.Started());
    EXPECT_EQ(DropDown(), QStringList({"COM2", "COM21"}));
    ExpectStatus(kCom5Held, std::to_string(holder.Pid()));
}

TEST_F(DeviceTable, AUserOutsideTheDevicesGroupIsToldToJoinIt)
{
    if (getuid() == 0)
        GTEST_SKIP() << "run as a user outside the dialout group";
    EXPECT_EQ(DropDown(), QStringList());
    ExpectStatus(kNotInTheGroup);
}

}  // namespace
