// The windows as a user sees them on an X server, saved into the build
// tree's screens folder as <name>-<desktop>.png: "composited" where a
// compositing manager runs, "plain" where none does. Each test on the X
// server runs on a server of its own (tests/app/run_on_x.sh), so no other
// test's window lies over the one taken.
#pragma once

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <cstdlib>
#include <cstring>

#include "AppTestEnv.h"
#include "QDesktopCompositing.h"

inline bool OnX()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// The run asked for a compositing manager: wait until it owns the screen.
inline bool DesktopAsAsked()
{
    const char* mode = std::getenv("VIDMEND_SCREENS_MODE");
    if (!mode)
        return true;  // run by hand: the desktop as it is
    if (std::strcmp(mode, "composited") == 0)
        return WaitFor([] { return QDesktopCompositing::isTranslucencyShown(); });
    return !QDesktopCompositing::isTranslucencyShown();
}

inline QString DesktopName()
{
    return QDesktopCompositing::isTranslucencyShown() ? QStringLiteral("composited") : QStringLiteral("plain");
}

// The screen around the window (border pixels beyond it, to show its edge
// against what lies below), after it has been drawn; also saved.
inline QImage SaveScreen(QWidget& w, const QString& name, int around = 0)
{
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    if (!QTest::qWaitForWindowExposed(&w, kHangGuardMs))
        return QImage();
    QTest::qWait(400);
    QCoreApplication::processEvents();
    const QRect r = w.frameGeometry().adjusted(-around, -around, around, around);
    const QImage shot = w.screen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()).toImage();
    shot.save(QStringLiteral(VIDMEND_SCREENS_DIR "/%1-%2.png").arg(name, DesktopName()));
    return shot;
}
