// Where Qt's widgets behave unlike the design's toolkit, the window keeps the
// design's behaviour.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QElapsedTimer>
#include <QListView>
#include <QTest>

#include "app_test_support.h"
#include "reply.h"
#include "serialport.h"

namespace {

class QtDifferenceTest : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
};

TEST_F(QtDifferenceTest, AModuleNameLongerThanTheTypingLimitShowsWholeButTypingStaysLimited)
{
    TForm1 form;
    ShowActive(form);
    ProfileView view = form.GetProfileView();
    view.LocalName = "ABCDEFGHIJKLMNOPQR";  // 18 characters, the record's longest
    form.SetProfileView(view);
    EXPECT_EQ(form.LocalName->text(), "ABCDEFGHIJKLMNOPQR");
    EXPECT_EQ(form.GetProfileView().LocalName, "ABCDEFGHIJKLMNOPQR");

    form.LocalName->setFocus();
    QTest::keyClick(form.LocalName, Qt::Key_End);
    QTest::keyClick(form.LocalName, Qt::Key_X);
    EXPECT_EQ(form.LocalName->text(), "ABCDEFGHIJKLMNOPQR");

    // Deleting works; typing does not bring the name back above 16.
    QTest::keyClick(form.LocalName, Qt::Key_Backspace);
    QTest::keyClick(form.LocalName, Qt::Key_Y);
    EXPECT_EQ(form.LocalName->text(), "ABCDEFGHIJKLMNOPQ");
    QTest::keyClick(form.LocalName, Qt::Key_Backspace);
    QTest::keyClick(form.LocalName, Qt::Key_Backspace);
    QTest::keyClicks(form.LocalName, "xyz");
    EXPECT_EQ(form.LocalName->text(), "ABCDEFGHIJKLMNOx");
}

TEST_F(QtDifferenceTest, ADecodeCanLeaveBothButtonsOfAPairUncheckedAndAClickStillExcludes)
{
    TForm1 form;
    ShowActive(form);
    ProfileView view = form.GetProfileView();
    view.ParityN = view.ParityE = false;
    view.RtsEnable = view.RtsDisable = false;
    form.SetProfileView(view);

    EXPECT_FALSE(form.ParityN->isChecked());
    EXPECT_FALSE(form.ParityE->isChecked());
    EXPECT_FALSE(form.RtsEnable->isChecked());
    EXPECT_FALSE(form.RtsDisable->isChecked());
    EXPECT_EQ(form.GetProfileView(), view);

    QTest::mouseClick(form.ParityE, Qt::LeftButton);
    EXPECT_TRUE(form.ParityE->isChecked());
    EXPECT_FALSE(form.ParityN->isChecked());
    QTest::mouseClick(form.ParityN, Qt::LeftButton);
    EXPECT_TRUE(form.ParityN->isChecked());
    EXPECT_FALSE(form.ParityE->isChecked());
    // A click on the checked button does not uncheck it.
    QTest::mouseClick(form.ParityN, Qt::LeftButton);
    EXPECT_TRUE(form.ParityN->isChecked());

    // The program checking one button of a pair unchecks the other.
    view = form.GetProfileView();
    view.RtsEnable = true;
    form.SetProfileView(view);
    view.RtsEnable = false;
    view.RtsDisable = true;
    form.SetProfileView(view);
    EXPECT_FALSE(form.RtsEnable->isChecked());
    EXPECT_TRUE(form.RtsDisable->isChecked());
}

TEST_F(QtDifferenceTest, TheProgressBarStartsAtZeroAndAStepAtTheMaximumKeepsTheMaximum)
{
    TForm1 form;
    EXPECT_EQ(form.ProgressBar->value(), 0);

    form.ResetProgress(3);
    EXPECT_EQ(form.ProgressBar->minimum(), 0);
    EXPECT_EQ(form.ProgressBar->maximum(), 3);
    EXPECT_EQ(form.ProgressBar->value(), 0);
    for (int step = 0; step < 5; ++step)
        form.StepProgress();
    EXPECT_EQ(form.ProgressBar->value(), 3);

    // A bar filled to a large maximum starts again at 0 for a smaller one.
    form.ResetProgress(20000);
    for (int step = 0; step < 150; ++step)
        form.StepProgress();
    form.ResetProgress(100);
    EXPECT_EQ(form.ProgressBar->value(), 0);
    EXPECT_EQ(form.ProgressBar->maximum(), 100);
    form.StepProgress();
    EXPECT_EQ(form.ProgressBar->value(), 1);
}

TEST_F(QtDifferenceTest, SettingTheTimerToTheValueItHasDoesNotRestartItsPeriod)
{
    TForm1 form;
    form.SetTimerInterval(5000);
    form.SetTimerEnabled(true);
    ASSERT_TRUE(form.Timer.isActive());
    QTest::qWait(300);
    const int before = form.Timer.remainingTime();

    form.SetTimerInterval(5000);
    form.SetTimerEnabled(true);
    EXPECT_LE(form.Timer.remainingTime(), before);

    // Another interval starts the period anew.
    form.SetTimerInterval(6000);
    EXPECT_GT(form.Timer.remainingTime(), 5000);

    form.SetTimerEnabled(false);
    EXPECT_FALSE(form.Timer.isActive());
    form.SetTimerInterval(1000);
    EXPECT_FALSE(form.Timer.isActive());

    // Enabled with interval 0 never ticks (a QTimer would tick continuously).
    form.SetTimerInterval(0);
    form.SetTimerEnabled(true);
    EXPECT_FALSE(form.Timer.isActive());
}

TEST_F(QtDifferenceTest, ATickRunsTimerTimerWhichEndsTheWaitAndDisablesTheTimer)
{
    TForm1 form;
    TimeoutFlag = 0;
    form.SetTimerInterval(50);
    form.SetTimerEnabled(true);
    QElapsedTimer clock;
    clock.start();
    while (TimeoutFlag == 0 && clock.elapsed() < 10000)
        form.ProcessPendingEvents();
    EXPECT_EQ(TimeoutFlag, 1);
    EXPECT_FALSE(form.Timer.isActive());
    // Disabled by TimerTimer through the window, so enabling starts it again.
    form.SetTimerEnabled(true);
    EXPECT_TRUE(form.Timer.isActive());
}

// The window's wait sleeps until input or its limit; a handler inside it that
// closes the port leaves Qt watching no closed descriptor.
TEST_F(QtDifferenceTest, AWaitSleepsUntilInputOrItsLimit)
{
    CPtyPortFolder ports;
    const int master = ports.Link(2);
    SerialPort.SetPort(1);
    ASSERT_EQ(SerialPort.Open(), 1);
    TForm1 form;
    QElapsedTimer clock;
    int wakes = 0;
    for (clock.start(); clock.elapsed() < 300; ++wakes)
        form.WaitForEvents(SerialPort, 50);
    EXPECT_LE(wakes, 15);

    ASSERT_EQ(write(master, "+", 1), 1);
    std::uint8_t byte = 0;
    clock.restart();
    do
        form.WaitForEvents(SerialPort, 10000);
    while (SerialPort.Read(&byte, 1) != 1 && clock.elapsed() < 5000);
    EXPECT_LT(clock.elapsed(), 5000);

    static QStringList warnings;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { warnings << text; });
    QTimer::singleShot(0, &form, [&] { SerialPort.Close(), form.ProcessPendingEvents(); });
    form.WaitForEvents(SerialPort, 50);
    qInstallMessageHandler(previous);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}

TEST_F(QtDifferenceTest, TheDropDownRunsBeforeTheListIsShown)
{
    CPtyPortFolder ports;
    ports.Link(2);
    TForm1 form;
    ShowActive(form);

    // Seen while the discovery selects the port it found.
    bool listVisibleDuringDiscovery = true;
    QObject::connect(form.cmbComSel, &QComboBox::currentIndexChanged, &form, [&] {
        listVisibleDuringDiscovery = form.cmbComSel->view()->isVisible();
    });
    form.cmbComSel->showPopup();

    EXPECT_FALSE(listVisibleDuringDiscovery);
    EXPECT_TRUE(form.cmbComSel->view()->isVisible());
    EXPECT_EQ(form.cmbComSel->count(), 1);
    EXPECT_EQ(form.cmbComSel->itemText(0), "COM2");
    form.cmbComSel->hidePopup();
}

TEST_F(QtDifferenceTest, ClearingThePortItemsKeepsTheText)
{
    // QComboBox::clear empties the text field of an editable combo box.
    QComboBox plain;
    plain.setEditable(true);
    plain.addItem("COM3");
    plain.clear();
    EXPECT_EQ(plain.currentText(), "");

    TForm1 form;
    form.cmbComSel->addItem("COM3");
    form.cmbComSel->addItem("COM7");
    form.cmbComSel->setCurrentIndex(1);
    form.cmbComSel->ClearItems();
    EXPECT_EQ(form.cmbComSel->count(), 0);
    EXPECT_EQ(form.cmbComSel->currentIndex(), -1);
    EXPECT_EQ(form.cmbComSel->currentText(), "COM7");
}

TEST_F(QtDifferenceTest, TextsAreLatin1BothWays)
{
    TForm1 form;
    ProfileView view = form.GetProfileView();
    view.LocalName = "Caf\xE9 \x80\xFF";
    view.PinCode = "\xA0\xB5\xC0\xD7\xE4\xF1";
    view.CfgPwd = "\xFF\x80\x81\x82";
    form.SetProfileView(view);

    EXPECT_EQ(form.LocalName->text(), QString("Caf") + QChar(0xE9) + " " + QChar(0x80) + QChar(0xFF));
    EXPECT_EQ(form.GetProfileView(), view);
    EXPECT_EQ(form.PinCodeText(), view.PinCode);
    EXPECT_EQ(form.CfgPwdText(), view.CfgPwd);

    form.SetVersionCaption("Version \xB9.\xB2");
    EXPECT_EQ(form.Version->text(), QString("Version ") + QChar(0xB9) + "." + QChar(0xB2));
}

}  // namespace
