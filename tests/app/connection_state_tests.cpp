// The controls that follow the connection state, through connect, failure and
// disconnect against a scripted module on a pseudo-terminal.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include <QApplication>
#include <QDropEvent>
#include <QEvent>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "app_test_support.h"
#include "connection.h"
#include "profile_file.h"
#include "text_file.h"

namespace {

// Records enabled-state changes of the switched controls, in order.
class CEnabledLog : public QObject {
public:
    explicit CEnabledLog(TForm1& form)
    {
        for (QWidget* control : {static_cast<QWidget*>(form.btnWrite), static_cast<QWidget*>(form.btnRead),
                                 static_cast<QWidget*>(form.btnReboot), static_cast<QWidget*>(form.cmbComSel)})
            control->installEventFilter(this);
    }

    QStringList m_listChanges;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::EnabledChange) {
            const bool enabled = static_cast<QWidget*>(watched)->isEnabled();
            m_listChanges << watched->objectName() + (enabled ? "+" : "-");
        }
        return false;
    }
};

class ConnectionStateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetProcessState();
        m_nMaster = m_ports.Link(2);
        ShowActive(m_form);
        m_form.cmbComSelDropDown();
        ASSERT_EQ(m_form.cmbComSel->currentText(), "COM2");
    }

    void ExpectIdleControls(const char* caption)
    {
        EXPECT_EQ(ConnectionState, Idle);
        EXPECT_EQ(m_form.btnConnect->text(), caption);
        EXPECT_FALSE(m_form.btnWrite->isEnabled());
        EXPECT_FALSE(m_form.btnRead->isEnabled());
        EXPECT_FALSE(m_form.btnReboot->isEnabled());
        EXPECT_TRUE(m_form.cmbComSel->isEnabled());
    }

    CPtyPortFolder m_ports;
    int m_nMaster = -1;
    TForm1 m_form;
    CBoxCloser m_closer;
};

TEST_F(ConnectionStateTest, ConnectWaitsWithTheControlsUnchangedThenConnectsAndDisconnects)
{
    CFakeModule module(m_nMaster, PasswordAnswer('1', 1, 3));
    bool checkedWhileWaiting = false;
    module.m_fnOnCommand = [&] {
        checkedWhileWaiting = true;
        EXPECT_EQ(ConnectionState, Connecting);
        EXPECT_EQ(m_form.btnConnect->text(), "Connect");
        EXPECT_FALSE(m_form.btnWrite->isEnabled());
        EXPECT_FALSE(m_form.btnRead->isEnabled());
        EXPECT_FALSE(m_form.btnReboot->isEnabled());
        EXPECT_TRUE(m_form.cmbComSel->isEnabled());
    };
    CEnabledLog log(m_form);
    const ProfileView profile = m_form.GetProfileView();

    QTest::mouseClick(m_form.btnConnect, Qt::LeftButton);

    EXPECT_TRUE(checkedWhileWaiting);
    EXPECT_NE(module.m_strReceived.find(std::string("AT+PROG=?6874\x01\n\r", 16)), std::string::npos);
    EXPECT_EQ(ConnectionState, Connected);
    EXPECT_EQ(m_form.btnConnect->text(), "Disconnect");
    EXPECT_TRUE(m_form.btnWrite->isEnabled());
    EXPECT_TRUE(m_form.btnRead->isEnabled());
    EXPECT_TRUE(m_form.btnReboot->isEnabled());
    EXPECT_FALSE(m_form.cmbComSel->isEnabled());
    EXPECT_EQ(m_form.Version->text(), "Version  1.03");
    EXPECT_EQ(log.m_listChanges, QStringList({"btnWrite+", "btnRead+", "btnReboot+", "cmbComSel-"}));
    EXPECT_TRUE(m_closer.m_vecBoxes.empty());

    log.m_listChanges.clear();
    QTest::mouseClick(m_form.btnConnect, Qt::LeftButton);
    ExpectIdleControls("Connect");
    EXPECT_EQ(log.m_listChanges, QStringList({"btnWrite-", "btnRead-", "btnReboot-", "cmbComSel+"}));
    // Disconnecting leaves the version, the port list and the profile as they were.
    EXPECT_EQ(m_form.Version->text(), "Version  1.03");
    EXPECT_EQ(m_form.cmbComSel->count(), 1);
    EXPECT_EQ(m_form.cmbComSel->currentIndex(), 0);
    EXPECT_EQ(m_form.GetProfileView(), profile);
}

TEST_F(ConnectionStateTest, APortThatDoesNotOpenShowsFail)
{
    m_ports.Unlink(2);
    QTest::mouseClick(m_form.btnConnect, Qt::LeftButton);
    ExpectIdleControls("Fail");
    EXPECT_TRUE(m_closer.m_vecBoxes.empty());
}

TEST_F(ConnectionStateTest, ARefusedPasswordEndsIdleAfterTheErrorBox)
{
    CFakeModule module(m_nMaster, PasswordAnswer('0', 2, 7));
    QTest::mouseClick(m_form.btnConnect, Qt::LeftButton);

    ExpectOnlyErrorBox(m_closer, "Password Error");
    EXPECT_EQ(m_form.Version->text(), "Version  2.07");
    ExpectIdleControls("Connect");
}

TEST_F(ConnectionStateTest, AVersionErrorEndsIdleAfterTheErrorBox)
{
    CFakeModule module(m_nMaster, "+VER\n\r");
    QTest::mouseClick(m_form.btnConnect, Qt::LeftButton);

    ExpectOnlyErrorBox(m_closer, "Version Error");
    ExpectIdleControls("Connect");
}

TEST_F(ConnectionStateTest, ASilentModuleEndsIdleAtTheTimeout)
{
    CFakeModule module(m_nMaster, "");
    QTest::mouseClick(m_form.btnConnect, Qt::LeftButton);

    ExpectOnlyErrorBox(m_closer, "ComProt Error or BT MODE ERROR    ");
    ExpectIdleControls("Connect");
    EXPECT_EQ(m_form.Version->text(), "Version");
}

// Open, Save and drops are off while Read waits: a file dropped then changes
// nothing, and the Read completes. Once it has, a drop opens the file.
TEST_F(ConnectionStateTest, AFileDroppedDuringAReadsWaitChangesNothingAndTheReadCompletes)
{
    CFakeModule module(m_nMaster, PasswordAnswer('1', 1, 3));
    QTest::mouseClick(m_form.btnConnect, Qt::LeftButton);
    ASSERT_EQ(ConnectionState, Connected);
    QTemporaryDir folder;
    const QString file = folder.filePath("dropped.zr9");
    std::string error;
    ASSERT_TRUE(
        SaveTextFile(file.toStdString(), "zr9-profile 1\nDevice Name = From the file\n", error));
    ProfileBytes record = DefaultProfile;
    std::memcpy(record.data() + 40, "From the module", 16);  // the device name
    const std::string reply =
        kProfileReplyPrefix + std::string(record.begin(), record.end()) + "\n";

    // As a file manager offers it: also as text, which an edit would take.
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(file)});
    data.setText(file);
    const auto dropTaken = [&] {
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_form.LocalName, &enter);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_form.LocalName, &drop);
        return enter.isAccepted();
    };
    // The module answers only once the file was dropped.
    QTimer::singleShot(100, &m_form, [&] {
        const ProfileView before = m_form.GetProfileView();
        EXPECT_FALSE(dropTaken());
        EXPECT_EQ(m_form.GetProfileView(), before);
        for (QAction* action : m_form.actions())
            EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
        ASSERT_EQ(write(m_nMaster, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    });
    QTest::mouseClick(m_form.btnRead, Qt::LeftButton);

    EXPECT_EQ(m_form.LocalName->text(), "From the module");
    EXPECT_TRUE(m_closer.m_vecBoxes.empty());
    EXPECT_TRUE(dropTaken());
    EXPECT_EQ(m_form.LocalName->text(), "From the file");
}

}  // namespace
