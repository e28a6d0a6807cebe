// The application object and its exception display.
#pragma once

#include <QApplication>
#include <string>

// The title of the exception box: the executable's file name without folder,
// cut at its first full stop, every letter after the first in lower case.
QString ApplicationTitle(const QString& executablePath);

// The message as the box shows it: a full stop is added when the message is
// not empty and its last character sorts after the full stop.
QString ExceptionText(const std::string& message);

// Shows the exception being handled (call it inside a catch block) in a modal
// box: application title, error icon, one OK button. An exception of another
// kind than std::exception shows an empty message.
void ShowCurrentException();

// Shows what escapes an event handler and lets the event loop go on.
class CApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override;
};
