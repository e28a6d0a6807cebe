// Profile files in the window: Ctrl+O and Ctrl+S, the same two in the form's
// context menu, and a file dropped on the window. Opening fills the fields
// (nothing is sent to the module); saving writes what the fields hold.
#include <QAction>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMimeData>

#include "profile_file.h"
#include "text_file.h"
#include "tform1.h"

namespace {

const char kFileFilter[] = "Profiles (*.zr9);;All files (*)";

// The one local file a drag carries, or an empty text.
QString DraggedFile(const QMimeData* data)
{
    const QList<QUrl> urls = data->urls();
    return urls.size() == 1 && urls.first().isLocalFile() ? urls.first().toLocalFile() : QString();
}

// Takes file drags for the window, also over the edits, which would
// otherwise take the file's name as text.
class CProfileDropFilter : public QObject {
public:
    explicit CProfileDropFilter(TForm1* form) : QObject(form), m_form(form) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const bool drag = event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove;
        if (!drag && event->type() != QEvent::Drop)
            return QObject::eventFilter(watched, event);
        auto* dropEvent = static_cast<QDropEvent*>(event);
        const QString path = DraggedFile(dropEvent->mimeData());
        if (path.isEmpty())
            return QObject::eventFilter(watched, event);
        if (!m_form->ProfileFilesEnabled()) {
            dropEvent->ignore();
            return true;
        }
        dropEvent->acceptProposedAction();
        if (!drag)
            m_form->OpenProfileFile(path);
        return true;
    }

private:
    TForm1* m_form;
};

std::string NativePath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

}  // namespace

void TForm1::SetUpProfileFiles()
{
    m_actOpenProfile = new QAction(QStringLiteral("Open Profile..."), this);
    m_actOpenProfile->setShortcut(QKeySequence::Open);
    connect(m_actOpenProfile, &QAction::triggered, this, &TForm1::OpenProfile);
    m_actSaveProfile = new QAction(QStringLiteral("Save Profile..."), this);
    m_actSaveProfile->setShortcut(QKeySequence::Save);
    connect(m_actSaveProfile, &QAction::triggered, this, &TForm1::SaveProfile);
    addActions({m_actOpenProfile, m_actSaveProfile});
    setContextMenuPolicy(Qt::ActionsContextMenu);

    setAcceptDrops(true);
    auto* dropFilter = new CProfileDropFilter(this);
    installEventFilter(dropFilter);
    for (QWidget* child : findChildren<QWidget*>())
        if (child->acceptDrops())
            child->installEventFilter(dropFilter);
}

bool TForm1::ProfileFilesEnabled() const
{
    return m_actOpenProfile->isEnabled();
}

void TForm1::SetProfileFilesEnabled(bool enabled)
{
    m_actOpenProfile->setEnabled(enabled);
    m_actSaveProfile->setEnabled(enabled);
}

void TForm1::OpenProfile()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open Profile"),
                                                      m_strProfileFolder, kFileFilter);
    if (!path.isEmpty())
        OpenProfileFile(path);
}

void TForm1::SaveProfile()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Profile"),
                                                      m_strProfileFolder, kFileFilter);
    if (!path.isEmpty())
        SaveProfileFile(path);
}

bool TForm1::OpenProfileFile(const QString& path)
{
    if (!ProfileFilesEnabled())
        return false;
    m_strProfileFolder = QFileInfo(path).absolutePath();
    CProfileSettings settings;
    std::string error;
    if (!LoadProfileFile(NativePath(path), settings, error)) {
        ShowErrorBox(QString::fromLocal8Bit(error).toLatin1().toStdString());
        return false;
    }
    ProfileView view = GetProfileView();
    settings.ApplyTo(view);
    SetProfileView(view);
    return true;
}

bool TForm1::SaveProfileFile(const QString& path)
{
    if (!ProfileFilesEnabled())
        return false;
    m_strProfileFolder = QFileInfo(path).absolutePath();
    std::string error;
    if (!SaveTextFile(NativePath(path), FormatProfileText(GetProfileView()), error)) {
        ShowErrorBox(QString::fromLocal8Bit(error).toLatin1().toStdString());
        return false;
    }
    return true;
}
