#include "porttile.h"

#include <QAccessible>
#include <QStringDecoder>
#include <QVBoxLayout>

namespace {

// Module and device texts are shown as they come, never as markup.
QLabel* PlainLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QString FromBytes(const std::string& text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString EngineText(const std::string& text)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    return utf8.hasError() ? FromBytes(text) : decoded;
}

namespace {

struct StateColours {
    const char* background;
    const char* text;
};

// Dark text on light colours for the steps, white on strong ones for what
// asks the operator to act; the words say it all the same.
StateColours ColoursOf(PortState state)
{
    switch (state) {
    case PortState::Reading:
    case PortState::Writing:
    case PortState::Verifying:
    case PortState::Rebooting: return {"#bbdefb", "#000000"};
    case PortState::Configured:
    case PortState::AlreadyConfigured: return {"#1b5e20", "#ffffff"};
    case PortState::Failed: return {"#b71c1c", "#ffffff"};
    case PortState::NotThere:
    case PortState::PortStopped: return {"#424242", "#ffffff"};
    case PortState::Opening:
    case PortState::WaitingForModule:
    case PortState::Ended: break;
    }
    return {"#e0e0e0", "#000000"};
}

bool IsStep(PortState state)
{
    return state == PortState::Reading || state == PortState::Writing ||
           state == PortState::Verifying || state == PortState::Rebooting;
}

}  // namespace

QString PortStateText(PortState state, const std::string& reason)
{
    const QString why = reason.empty() ? QString() : ": " + EngineText(reason);
    switch (state) {
    case PortState::Opening: return QStringLiteral("opening the port");
    case PortState::NotThere: return "port not there" + why;
    case PortState::WaitingForModule: return QStringLiteral("waiting for a module");
    case PortState::Reading: return QStringLiteral("reading");
    case PortState::Writing: return QStringLiteral("writing");
    case PortState::Verifying: return QStringLiteral("verifying");
    case PortState::Rebooting: return QStringLiteral("rebooting");
    case PortState::Configured: return QStringLiteral("configured, take it off");
    case PortState::AlreadyConfigured: return QStringLiteral("already configured, take it off");
    case PortState::Failed: return "failed, take it off" + why;
    case PortState::PortStopped: return "port stopped" + why;
    case PortState::Ended: return QStringLiteral("ended");
    }
    return {};
}

CPortTile::CPortTile(const QString& port, const QString& device, QWidget* parent)
    : QFrame(parent), m_strPort(port)
{
    setObjectName("tile" + port);
    setFrameShape(QFrame::StyledPanel);
    // A tile is reached with Tab, and a screen reader reads it whole.
    setFocusPolicy(Qt::TabFocus);
    setAccessibleName(port);
    auto* layout = new QVBoxLayout(this);
    lblPort = PlainLabel(this);
    lblPort->setText(port);
    QFont bold = lblPort->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    lblPort->setFont(bold);
    lblDevice = PlainLabel(this);
    lblDevice->setText(device);
    lblState = PlainLabel(this);
    lblState->setAutoFillBackground(true);
    lblState->setMargin(6);
    lblState->setFont(bold);
    lblModule = PlainLabel(this);
    lblTime = PlainLabel(this);
    lblCount = PlainLabel(this);
    for (QLabel* label : {lblPort, lblDevice, lblState, lblModule, lblTime, lblCount})
        layout->addWidget(label);
    layout->addStretch();
    ShowStatus(PortStatus{});
}

void CPortTile::ShowStatus(const PortStatus& status)
{
    lblState->setText(PortStateText(status.m_state, status.m_strReason));
    const StateColours colours = ColoursOf(status.m_state);
    QPalette palette = lblState->palette();
    palette.setColor(QPalette::Window, QColor(colours.background));
    palette.setColor(QPalette::WindowText, QColor(colours.text));
    lblState->setPalette(palette);

    QString module;
    if (!status.m_strAddress.empty())
        module = FromBytes(status.m_strAddress);
    if (!status.m_strDeviceName.empty())
        module += (module.isEmpty() ? QString() : QStringLiteral(" \u2192 ")) +
                  FromBytes(status.m_strDeviceName);
    lblModule->setText(module);
    lblCount->setText(QStringLiteral("%1 configured on this port").arg(status.m_nConfigured));
    m_tSince = status.m_tSince;
    m_bTiming = IsStep(status.m_state);
    if (!m_bTiming)
        lblTime->clear();
    UpdateAccessibleText();
    emit statusShown();
}

void CPortTile::ShowElapsed(RunClock::time_point now)
{
    if (!m_bTiming)
        return;
    const double seconds = std::chrono::duration<double>(now - m_tSince).count();
    lblTime->setText(QStringLiteral("%1 s").arg(std::max(seconds, 0.0), 0, 'f', 1));
}

void CPortTile::UpdateAccessibleText()
{
    // What a screen reader says of the tile: state first, then the module.
    QString description = lblState->text();
    if (!lblModule->text().isEmpty())
        description += "; " + lblModule->text();
    setAccessibleDescription(description);
    QAccessibleEvent event(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
}
