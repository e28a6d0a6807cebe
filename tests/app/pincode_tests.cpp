// PinCodeExit: the length check when the focus leaves the PIN field.
#include <gtest/gtest.h>

#include <QTest>

#include "app_test_support.h"
#include "commands.h"

namespace {

class PinCodeExitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetProcessState();
        ShowActive(m_form);
    }

    // Puts the focus in PinCode with `text`, then moves it to LocalName.
    void LeavePinCode(const QString& text)
    {
        // The offscreen platform does not activate the window again after a box.
        ShowActive(m_form);
        m_form.PinCode->setText(text);
        m_form.PinCode->setFocus(Qt::MouseFocusReason);
        ASSERT_TRUE(m_form.PinCode->hasFocus());
        m_form.LocalName->setFocus(Qt::TabFocusReason);
    }

    TForm1 m_form;
    CBoxCloser m_closer;
};

TEST_F(PinCodeExitTest, FiveCharactersShowTheMessageOncePerMove)
{
    LeavePinCode("12345");
    ExpectOnlyErrorBox(m_closer, kPinCodeMessage);
    // The text stays and the focus is not moved back.
    EXPECT_EQ(m_form.PinCode->text(), "12345");
    EXPECT_EQ(m_form.focusWidget(), m_form.LocalName);

    LeavePinCode("12345");
    EXPECT_EQ(m_closer.m_vecBoxes.size(), 2u);
}

TEST_F(PinCodeExitTest, SixLettersPassBecauseOnlyTheLengthCounts)
{
    LeavePinCode("abcdef");
    EXPECT_TRUE(m_closer.m_vecBoxes.empty());
    EXPECT_TRUE(m_form.LocalName->hasFocus());
}

TEST_F(PinCodeExitTest, AnEmptyPinShowsTheMessage)
{
    LeavePinCode("");
    ExpectOnlyErrorBox(m_closer, kPinCodeMessage);
}

TEST_F(PinCodeExitTest, LosingActivationOrOpeningAPopupIsNoExit)
{
    m_form.PinCode->setText("123");
    m_form.PinCode->setFocus(Qt::MouseFocusReason);

    m_form.UartBaud->showPopup();
    QTest::qWait(50);
    m_form.UartBaud->hidePopup();

    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    ShowActive(m_form);

    EXPECT_TRUE(m_closer.m_vecBoxes.empty());
    EXPECT_TRUE(m_form.PinCode->hasFocus());
}

TEST(PinCodeExitOnClose, DestroyingTheWindowWithTheFocusInAShortPinShowsNothing)
{
    ResetProcessState();
    CBoxCloser closer;
    {
        TForm1 form;
        ShowActive(form);
        form.PinCode->setText("1");
        form.PinCode->setFocus(Qt::MouseFocusReason);
        ASSERT_TRUE(form.PinCode->hasFocus());
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(closer.m_vecBoxes.empty());
}

}  // namespace
