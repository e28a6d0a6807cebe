// The entry routine: the application, the one window Form1, the event loop;
// with --production, the production window instead. The process ends with
// exit code 0, except for an unknown option (2).
#include <QIcon>
#include <cstdio>
#include <cstring>
#include <optional>

#include "application.h"
#include "productionwindow.h"
#include "tform1.h"

namespace {

const char kUsage[] =
    "usage: zr9config [--production [PROFILE]]\n"
    "Opens the window that configures one ZR9 Bluetooth-to-UART module.\n"
    "  --production [PROFILE]  open the production window instead: modules one\n"
    "                          after another on up to 8 ports at once, as zr9ctl\n"
    "                          batch does, with the same log; PROFILE is the\n"
    "                          profile file to start with\n"
    "  --help                  show this text\n"
    "Qt's own options (-platform, -style, ...) are taken as well. With ZR9_PORT_DIR\n"
    "set, COMn is the file $ZR9_PORT_DIR/COMn. See zr9config(1).\n";

}  // namespace

int main(int argc, char* argv[])
{
    // Before the application, which needs a display.
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::optional<CApplication> application;
    try {
        application.emplace(argc, argv);
#ifndef Q_OS_WIN
        // On Windows the window takes the executable's icon resource instead.
        CApplication::setWindowIcon(QIcon(QStringLiteral(":/zr9config.svg")));
#endif
        // What Qt left of the arguments, its own options taken out.
        const QStringList arguments = CApplication::arguments().mid(1);
        if (arguments.value(0) == QLatin1String("--production") && arguments.size() <= 2) {
            CProductionWindow production;
            if (arguments.size() == 2)
                production.UseProfileFile(arguments[1]);
            production.show();
            CApplication::exec();
        } else if (!arguments.isEmpty()) {
            std::fprintf(stderr, "zr9config: unknown option %s\n%s",
                         arguments.join(' ').toLocal8Bit().constData(), kUsage);
            return 2;
        } else {
            TForm1 Form1;
            Form1.show();
            CApplication::exec();
        }
    } catch (...) {
        ShowCurrentException();
    }
    return 0;
}
