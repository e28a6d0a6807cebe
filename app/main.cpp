// The entry routine: the application, the one window Form1, the event loop.
// The process ends with exit code 0 in every case.
#include <QIcon>
#include <optional>

#include "application.h"
#include "tform1.h"

int main(int argc, char* argv[])
{
    std::optional<CApplication> application;
    try {
        application.emplace(argc, argv);
#ifndef Q_OS_WIN
        // On Windows the window takes the executable's icon resource instead.
        CApplication::setWindowIcon(QIcon(QStringLiteral(":/zr9config.svg")));
#endif
        TForm1 Form1;
        Form1.show();
        CApplication::exec();
    } catch (...) {
        ShowCurrentException();
    }
    return 0;
}
