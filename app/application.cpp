#include "application.h"

#include <QFileInfo>
#include <QMessageBox>
#include <cstdio>
#include <exception>

QString ApplicationTitle(const QString& executablePath)
{
    const QString name = QFileInfo(executablePath).fileName().section(u'.', 0, 0);
    return name.left(1) + name.mid(1).toLower();
}

QString ExceptionText(const std::string& message)
{
    QString text = QString::fromLatin1(message.data(), static_cast<qsizetype>(message.size()));
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        text += u'.';
    return text;
}

namespace {

void ShowException(const std::string& message)
{
    // Without the application object there is no box to show.
    if (QCoreApplication::instance() == nullptr) {
        std::fprintf(stderr, "%s\n", ExceptionText(message).toLocal8Bit().constData());
        return;
    }
    const QStringList arguments = QCoreApplication::arguments();
    const QString title = ApplicationTitle(arguments.isEmpty() ? QString() : arguments.first());
    QMessageBox box(QMessageBox::Critical, title, ExceptionText(message), QMessageBox::Ok);
    box.exec();
}

}  // namespace

void ShowCurrentException()
{
    try {
        throw;
    } catch (const std::exception& error) {
        ShowException(error.what());
    } catch (...) {
        ShowException("");
    }
}

bool CApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowCurrentException();
    }
    return false;
}
