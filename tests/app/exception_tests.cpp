// The exception display: what escapes a handler is shown and the loop goes on.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <stdexcept>

#include "app_test_support.h"
#include "application.h"

namespace {

TEST(ApplicationTitle, IsTheFileNameCutAtItsFirstFullStopWithTheRestInLowerCase)
{
    EXPECT_EQ(ApplicationTitle("/usr/bin/zr9config"), "zr9config");
    EXPECT_EQ(ApplicationTitle("C:/Tools/ZR9Config.exe"), "Zr9config");
    EXPECT_EQ(ApplicationTitle("./UART.Tool.bin"), "Uart");
    EXPECT_EQ(ApplicationTitle("app_TESTS"), "app_tests");
}

TEST(ExceptionText, AddsAFullStopOnlyAfterACharacterAboveIt)
{
    EXPECT_EQ(ExceptionText("Port lost"), "Port lost.");
    EXPECT_EQ(ExceptionText("Done."), "Done.");
    EXPECT_EQ(ExceptionText("Really!"), "Really!");
    EXPECT_EQ(ExceptionText("ends in a space "), "ends in a space ");
    EXPECT_EQ(ExceptionText("Step 3/"), "Step 3/.");
    EXPECT_EQ(ExceptionText(""), "");
    // Bytes above 0x7F count as above the full stop.
    EXPECT_EQ(ExceptionText("Caf\xE9"), QString("Caf") + QChar(0xE9) + ".");
}

class ExceptionDisplayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
    }

    // Runs `handler` as the handler of a timer tick. Qt's widget libraries are
    // built without unwinding, so an exception thrown through a mouse click's
    // delivery would leak the event's data; a tick is delivered by Qt's core.
    void TickInto(std::function<void()> handler)
    {
        m_tick.setSingleShot(true);
        QObject::connect(&m_tick, &QTimer::timeout, handler);
        m_tick.start(0);
        RunEventsUntil([this] { return !m_closer.m_vecBoxes.empty(); }, 10000);
    }

    QPushButton m_window{"throw"};
    QTimer m_tick;
    CBoxCloser m_closer;
};

TEST_F(ExceptionDisplayTest, AStandardExceptionFromAHandlerIsShownAndTheLoopGoesOn)
{
    TickInto([] { throw std::runtime_error("Port lost"); });

    ASSERT_EQ(m_closer.m_vecBoxes.size(), 1u);
    const SeenBox& box = m_closer.m_vecBoxes[0];
    EXPECT_EQ(box.text, "Port lost.");
    EXPECT_EQ(box.title, ApplicationTitle(QCoreApplication::arguments().first()));
    EXPECT_EQ(box.title, "app_tests");
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttonCount, 1);

    // The window stays and the next event is handled as usual.
    EXPECT_TRUE(m_window.isVisible());
    bool handled = false;
    QTimer::singleShot(0, [&] { handled = true; });
    EXPECT_TRUE(RunEventsUntil([&] { return handled; }, 10000));
}

TEST_F(ExceptionDisplayTest, AnotherKindOfExceptionShowsAnEmptyMessage)
{
    TickInto([] { throw 42; });

    ASSERT_EQ(m_closer.m_vecBoxes.size(), 1u);
    EXPECT_EQ(m_closer.m_vecBoxes[0].text, "");
    EXPECT_EQ(m_closer.m_vecBoxes[0].icon, QMessageBox::Critical);
}

}  // namespace
