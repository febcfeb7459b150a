// Whether the desktop shows a window's see-through pixels as see-through.
// Our windows draw their shadow into a transparent margin; an X server with
// no compositing manager paints such pixels black, so there the margin is
// cut away with a window shape instead.
#ifndef VIDMEND_QDESKTOPCOMPOSITING_H
#define VIDMEND_QDESKTOPCOMPOSITING_H

#include <QMargins>

class QWidget;

namespace QDesktopCompositing {

// False only on X11 when no compositing manager owns the screen's
// _NET_WM_CM_S<n> selection; Wayland and other platforms always composite.
bool isTranslucencyShown();

// For a top-level window with a transparent margin: without compositing,
// shapes the window to the part inside the margin (corners rounded as the
// background draws them); with compositing, removes any such shape.
void shapeToMargins(QWidget& window, const QMargins& margins);

}  // namespace QDesktopCompositing

#endif
