#include "QDesktopCompositing.h"

#include <QGuiApplication>
#include <QPainterPath>
#include <QRegion>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace {

// A connection of our own: Qt's is out of reach without its private
// headers, and the question is asked only when a window is shown.
bool X11CompositorRunning()
{
    int screen = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screen);
    if (!connection)
        return true;
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> owner(connection, xcb_disconnect);
    if (xcb_connection_has_error(connection))
        return true;
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, static_cast<uint16_t>(name.size()), name.constData()), nullptr);
    if (!atom)
        return true;
    const xcb_atom_t selection = atom->atom;
    std::free(atom);
    if (selection == XCB_ATOM_NONE)
        return false;  // no client ever named it: nobody owns it
    xcb_get_selection_owner_reply_t* reply =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    if (!reply)
        return true;
    const bool owned = reply->owner != XCB_NONE;
    std::free(reply);
    return owned;
}

}  // namespace

bool QDesktopCompositing::isTranslucencyShown()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return true;
    return X11CompositorRunning();
}

void QDesktopCompositing::shapeToMargins(QWidget& window, const QMargins& margins)
{
    if (!window.isWindow() || margins.isNull())
        return;
    const QRect inner = window.rect().marginsRemoved(margins);
    if (inner.isEmpty())
        return;
    QPainterPath path;
    path.addRoundedRect(QRectF(inner), 6, 6);
    window.setMask(QRegion(path.toFillPolygon().toPolygon()));
}
