#include "fault_fixture.h"

#include <cstring>
#include <stdexcept>

#include "connection.h"

namespace {

constexpr char kComProtError[] = "ComProt Error or BT MODE ERROR    ";

}  // namespace

void CWindowFixture::SetUp()
{
    ResetProcessState();
    m_form = std::make_unique<TForm1>();
    m_form->show();
}

void CWindowFixture::TearDown()
{
    m_form.reset();
    ResetProcessState();
}

std::unique_ptr<CSimProcess> CWindowFixture::StartSimulator(const std::vector<std::string>& options)
{
    auto simulator = std::make_unique<CSimProcess>(m_ports.Path(), kCom, options);
    if (!simulator->Started())
        throw std::runtime_error("zr9-module-sim did not start");
    return simulator;
}

void CWindowFixture::PickPort(int com)
{
    m_form->cmbComSelDropDown();
    const int position = m_form->cmbComSel->findText(QString("COM%1").arg(com));
    ASSERT_GE(position, 0) << "discovery did not list COM" << com;
    m_form->cmbComSel->setCurrentIndex(position);
}

long CWindowFixture::Click(QAbstractButton* button)
{
    const Clock::time_point start = Clock::now();
    button->click();
    return MillisecondsSince(start);
}

std::string CWindowFixture::ConnectCaption() const
{
    return m_form->btnConnect->text().toStdString();
}

std::string CWindowFixture::LocalName() const
{
    return m_form->LocalName->text().toStdString();
}

void CWindowFixture::ExpectConnectEndsAtTheTimer()
{
    CStderrCapture errors(CStderrCapture::End::Replay);
    EXPECT_LT(Click(m_form->btnConnect), kWaitLimitMs);
    EXPECT_LE(errors.Lines(), 1);
    EXPECT_EQ(m_boxes.Texts(), std::vector<std::string>{kComProtError});
    EXPECT_EQ(ConnectCaption(), "Connect");
    EXPECT_EQ(ConnectionState, Idle);
}

void CWindowFixture::ExpectGoodSession(const std::string& expectedName)
{
    const std::size_t boxesBefore = m_boxes.Texts().size();
    Click(m_form->btnConnect);
    ASSERT_EQ(ConnectCaption(), "Disconnect");
    ASSERT_EQ(ConnectionState, Connected);
    m_form->LocalName->setText("not read yet");
    Click(m_form->btnRead);
    EXPECT_EQ(LocalName(), expectedName);
    Click(m_form->btnWrite);
    Click(m_form->btnConnect);
    EXPECT_EQ(ConnectCaption(), "Connect");
    EXPECT_EQ(ConnectionState, Idle);
    EXPECT_EQ(m_boxes.Texts().size(), boxesBefore);
}

ProfileBytes ProfileNamed(const std::string& name)
{
    ProfileBytes profile = DefaultProfile;
    std::fill(profile.begin() + 40, profile.end(), 0);
    std::memcpy(profile.data() + 40, name.data(), std::min<std::size_t>(name.size(), 18));
    return profile;
}

std::string ProfileHexNamed(const std::string& name)
{
    return ProfileHex(ProfileNamed(name));
}
