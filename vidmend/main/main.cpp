// Program entry: one instance per user, the application font, the main window.
#include "MainWindow.h"
#include "QInitCtrlStyle.h"
#include "QProjectConfig.h"
#include "QtSingleApplication.h"

#include <QFont>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Qt aborts when it cannot reach a display; say so plainly instead.
bool displayReachable()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && std::strncmp(platform, "xcb", 3) != 0 && std::strncmp(platform, "wayland", 7) != 0)
        return true;
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

}  // namespace

int main(int argc, char** argv)
{
    if (!displayReachable()) {
        std::fprintf(stderr, "vidmend: no display (DISPLAY and WAYLAND_DISPLAY are unset); start it on a desktop\n");
        return 2;
    }
    QtSingleApplication app(QStringLiteral("vidmend"), argc, argv);
    if (app.isRunning())
        return app.sendMessage(QString(), 5000) ? 0 : 1;

    QFont font = QApplication::font();
    QInitCtrlStyle::setProjectFamily(font);
    font.setPixelSize(13);
    QApplication::setFont(font);
    // Every window of the program, dialogs too, carries its icon.
    QApplication::setWindowIcon(QInitCtrlStyle::appIcon());
    int result = 0;
    {
        MainWindow window;
        app.setActivationWindow(&window, true);
        window.show();
        result = app.exec();
    }
    QProjectConfig::releaseProjectConfig();
    return result;
}
