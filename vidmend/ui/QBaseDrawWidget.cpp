#include "QBaseDrawWidget.h"

#include "QBaseImageDraw.h"
#include "QDesktopCompositing.h"
#include "QUiCommonInterface.h"

#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QHoverEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QScreen>

#include <cmath>

QBaseDrawWidget::QBaseDrawWidget(QWidget* drawWidget, dlgType kind) : m_widget(drawWidget), m_kind(kind)
{
    if (kind == ChildKind)
        m_policy = StretchNone;
    if (m_widget) {
        m_widget->setAttribute(Qt::WA_MouseTracking, true);
        if (kind == DialogKind) {
            m_policy = StretchAll;
            m_widget->setAttribute(Qt::WA_Hover, true);
        }
    }
}

QBaseDrawWidget::~QBaseDrawWidget() = default;

void QBaseDrawWidget::setStretchPolicy(enumStretchPolicy policy)
{
    m_policy = policy;
    if (m_kind == DialogKind && m_widget)
        m_widget->setAttribute(Qt::WA_Hover, policy != StretchNone);
}

void QBaseDrawWidget::setTransparentW(int left, int top, int right, int bottom)
{
    m_marginLeft = left;
    m_marginTop = top;
    m_marginRight = right;
    m_marginBottom = bottom;
}

void QBaseDrawWidget::setBackgroundImage(const QString& path, bool stretch)
{
    if (!QFile::exists(path))
        return;
    const QImage image(path);
    if (!image.isNull())
        setBackgroundImage(image, stretch);
}

void QBaseDrawWidget::setBackgroundImage(const QImage& image, bool stretch)
{
    m_bg.reset(new QImage(image));
    m_bg->setDevicePixelRatio(2.0);
    const QSize logical(image.width() / 2, image.height() / 2);
    // Corner cells are a third of the window's natural (logical) size, in the
    // same logical units callers give to setGridViewInfo.
    const rectSize corner{logical.width() / 3, logical.height() / 3};
    for (rectSize& c : m_corners)
        c = corner;
    m_policy = stretch ? StretchAll : StretchNone;
    if (m_widget) {
        m_widget->resize(logical);
        if (stretch)
            m_widget->setMinimumSize(logical);
        m_widget->update();
    }
}

void QBaseDrawWidget::changeBackgroundImage(const QImage& image)
{
    m_bg.reset(new QImage(image));
    m_bg->setDevicePixelRatio(2.0);
}

void QBaseDrawWidget::setGridViewInfo(rectSize topLeft, rectSize topRight, rectSize bottomLeft, rectSize bottomRight)
{
    m_corners[0] = topLeft;
    m_corners[1] = topRight;
    m_corners[2] = bottomLeft;
    m_corners[3] = bottomRight;
    if (m_widget)
        m_widget->update();
}

void QBaseDrawWidget::setBackgrounColor(const QColor& color)
{
    m_bgColor = color;
    if (m_widget)
        m_widget->update();
}

void QBaseDrawWidget::setLogoImage(const QString& path)
{
    if (QFile::exists(path))
        setLogoImage(QImage(path));
}

void QBaseDrawWidget::setLogoImage(const QImage& image)
{
    m_logo.reset(new QImage(image));
    m_logo->setDevicePixelRatio(2.0);
    m_logoRect.setSize(QSize(image.width() / 2, image.height() / 2));
    if (m_widget)
        m_widget->update();
}

void QBaseDrawWidget::setAlignment(Qt::Alignment alignment)
{
    m_titleAlignment = alignment;
    if (m_widget)
        m_widget->update();
}

void QBaseDrawWidget::setDlgTitle(const QString& title)
{
    m_title = title;
    if (m_widget)
        m_widget->update();
}

void QBaseDrawWidget::CenterDlg(QDialog& dialog)
{
    if (!m_widget)
        return;
    const QPoint origin = m_widget->mapToGlobal(QPoint(0, 0));
    int x = origin.x() + (m_widget->width() - dialog.width()) / 2;
    int y = origin.y() + (m_widget->height() - dialog.height()) / 2;
    dialog.move(x < 1 ? 50 : x, y < 1 ? 50 : y);
}

void QBaseDrawWidget::paintEvent(QPaintEvent*)
{
    if (!m_widget)
        return;
    QPainter painter(m_widget);
    const int W = m_widget->width(), H = m_widget->height();
    if (m_bg && !m_bg->isNull()) {
        const int iw = m_bg->width() / 2, ih = m_bg->height() / 2;
        const rectSize tl = m_corners[0], tr = m_corners[1], bl = m_corners[2], br = m_corners[3];
        auto cell = [&](const QRect& target, const QRect& source) {
            if (target.width() > 0 && target.height() > 0 && source.width() > 0 && source.height() > 0)
                QBaseImageDraw::drawImage(painter, target, source, *m_bg);
        };
        cell(QRect(0, 0, tl.width, tl.height), QRect(0, 0, tl.width, tl.height));
        cell(QRect(W - tr.width, 0, tr.width, tr.height), QRect(iw - tr.width, 0, tr.width, tr.height));
        cell(QRect(0, H - bl.height, bl.width, bl.height), QRect(0, ih - bl.height, bl.width, bl.height));
        cell(QRect(W - br.width, H - br.height, br.width, br.height),
             QRect(iw - br.width, ih - br.height, br.width, br.height));
        cell(QRect(tl.width, 0, W - tl.width - tr.width, tl.height),
             QRect(tl.width, 0, iw - tl.width - tr.width, tl.height));
        cell(QRect(bl.width, H - bl.height, W - bl.width - br.width, bl.height),
             QRect(bl.width, ih - bl.height, iw - bl.width - br.width, bl.height));
        cell(QRect(0, tl.height, tl.width, H - tl.height - bl.height),
             QRect(0, tl.height, tl.width, ih - tl.height - bl.height));
        cell(QRect(W - tr.width, tr.height, tr.width, H - tr.height - br.height),
             QRect(iw - tr.width, tr.height, tr.width, ih - tr.height - br.height));
        cell(QRect(tl.width, tl.height, W - tl.width - tr.width, H - tl.height - bl.height),
             QRect(tl.width, tl.height, iw - tl.width - tr.width, ih - tl.height - bl.height));
    } else {
        painter.fillRect(m_widget->rect(), m_bgColor);
    }
    DrawLogo(painter);
    DrawWgtText(painter);
}

bool QBaseDrawWidget::isShapedToMargins() const
{
    return m_widget && m_kind != ChildKind && m_widget->isWindow() &&
           m_widget->testAttribute(Qt::WA_TranslucentBackground) && !m_translucencyShown && !m_maximised &&
           (m_marginLeft || m_marginTop || m_marginRight || m_marginBottom);
}

namespace {

// Without a compositor the drawn shadow is cut away with the margin, and a
// white window over a white one would have no edge: a one-pixel line
// follows the shape instead. It lies over the window's children, which
// reach the edge in places, and lets every click through.
class ShapedFrame : public QWidget {
public:
    ShapedFrame(QWidget* window, const QMargins& margins) : QWidget(window), m_margins(margins)
    {
        setObjectName(QStringLiteral("shapedFrame"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        const QRect inner = rect().marginsRemoved(m_margins);
        if (inner.isEmpty())
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QBaseDrawWidget::frameColor(), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(inner).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }

private:
    QMargins m_margins;
};

}  // namespace

void QBaseDrawWidget::updateShapedFrame()
{
    if (!isShapedToMargins()) {
        if (m_frame)
            m_frame->hide();
        return;
    }
    if (!m_frame)
        m_frame = new ShapedFrame(m_widget, QMargins(m_marginLeft, m_marginTop, m_marginRight, m_marginBottom));
    m_frame->setGeometry(m_widget->rect());
    m_frame->show();
    m_frame->raise();
}

void QBaseDrawWidget::DrawLogo(QPainter& painter)
{
    if (!m_logo)
        return;
    QRect r = m_logoRect;
    if (r.width() == 0)
        r.setWidth(m_logo->width() / 2);
    if (r.height() == 0)
        r.setHeight(m_logo->height() / 2);
    if (r.x() == -1)
        r.moveLeft((m_widget->width() - r.width()) / 2);
    if (r.y() == -1)
        r.moveTop((m_widget->height() - r.height()) / 2);
    m_logoRect = r;
    painter.drawImage(QRectF(r), *m_logo);
}

QRect QBaseDrawWidget::titleDrawRect() const
{
    QRect r = m_titleRect;
    const int x = r.x() == 0 ? m_marginLeft : r.x();
    const int y = r.y() == 0 ? m_marginTop : r.y();
    const int w = r.width() == 0 ? (m_widget ? m_widget->width() : 0) - x - m_marginRight : r.width();
    const int h = r.height() == 0 ? 20 : r.height();
    return QRect(x, y, w, h);
}

void QBaseDrawWidget::DrawWgtText(QPainter& painter)
{
    if (m_title.isEmpty())
        return;
    const QFont previous = painter.font();
    painter.setFont(m_widget->font());
    painter.setPen(m_widget->palette().color(QPalette::WindowText));
    const QRect r = titleDrawRect();
    const QString shown = QFontMetrics(m_widget->font()).elidedText(m_title, Qt::ElideRight, r.width());
    painter.drawText(r, int(m_titleAlignment), shown);
    painter.setFont(previous);
}

void QBaseDrawWidget::mousePressEvent(QMouseEvent* event)
{
    if (!m_widget)
        return;
    QPoint topLeft = m_widget->pos();
    if (m_kind != ChildKind) {
        // The window origin comes back bottom-up, as the desktop glue gives
        // it; turned top-down again here.
        const QPoint native = ZoMacosInterface::getWindowPos(m_widget);
        const int screenHeight = screenGeometry().height();
        if (m_widget->windowHandle())
            topLeft.setY(screenHeight - native.y() - m_widget->height());
    }
    const QPoint global = event->globalPos();
    m_pressOffset = global - topLeft;
    m_pressPos = global;
    if (event->button() == Qt::LeftButton)
        m_pressed = true;
}

bool QBaseDrawWidget::childBlocksCursor(const QPoint& local) const
{
    QWidget* child = m_widget->childAt(local);
    return child && !child->isHidden() && child->objectName() != QLatin1String("centralWidget");
}

QRect QBaseDrawWidget::screenGeometry() const
{
    QScreen* screen = m_widget && m_widget->window()->windowHandle() ? m_widget->window()->screen() : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

QRect QBaseDrawWidget::availableGeometry() const
{
    QScreen* screen = m_widget && m_widget->window()->windowHandle() ? m_widget->window()->screen() : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

void QBaseDrawWidget::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_widget || m_kind == ChildKind)
        return;
    if (!m_pressed && !m_maximised && m_policy != StretchNone) {
        // Off the border and onto a child: the border state goes with the
        // cursor, or a press the child ignores followed by a drag would
        // resize the window under an arrow.
        if (childBlocksCursor(event->pos()))
            setCursorType(CursorNone);
        else
            setCursorAndState(event);
    } else if (m_cursorState != CursorNone) {
        setFrameGeomtry(event);
        return;
    }
    if (m_pressed && m_pressOffset.y() < m_moveTopHeight && !m_maximised)
        m_widget->move(event->globalPos() - m_pressOffset);
}

void QBaseDrawWidget::setCursorAndState(QMouseEvent* event)
{
    const QRect g = m_widget->geometry();
    const int gx = event->globalPos().x(), gy = event->globalPos().y(), grip = m_gripWidth;
    const int innerLeft = g.left() + m_marginLeft, innerRight = g.right() - m_marginRight;
    const int innerTop = g.top() + m_marginTop, innerBottom = g.bottom() - m_marginBottom;
    const bool horizontal = m_policy & StretchHorizontal, vertical = m_policy & StretchVertical;
    const bool nearTop = gy >= innerTop && gy < innerTop + grip;
    const bool nearBottom = gy <= innerBottom && gy > innerBottom - grip;
    CursorAndState state = CursorNone;
    if (horizontal && gx >= innerLeft && gx < innerLeft + grip)
        state = vertical && nearTop ? TopLeft : vertical && nearBottom ? BottomLeft : Left;
    else if (horizontal && gx <= innerRight && gx > innerRight - grip)
        state = vertical && nearTop ? TopRight : vertical && nearBottom ? BottomRight : Right;
    else if (vertical && nearTop)
        state = Top;
    else if (vertical && nearBottom)
        state = Bottom;
    setCursorType(state);
    if (state == Left || state == TopLeft || state == BottomLeft)
        m_grabX = gx - g.left();
    if (state == Right || state == TopRight || state == BottomRight)
        m_grabX = g.right() - gx;
    if (state == Top || state == TopLeft || state == TopRight)
        m_grabY = gy - g.top();
    if (state == Bottom || state == BottomLeft || state == BottomRight)
        m_grabY = g.bottom() - gy;
}

void QBaseDrawWidget::setCursorType(CursorAndState state)
{
    m_cursorState = state;
    if (!m_widget)
        return;
    switch (state) {
    case Left:
    case Right:
        m_widget->setCursor(Qt::SplitHCursor);
        break;
    case Top:
    case Bottom:
        m_widget->setCursor(Qt::SplitVCursor);
        break;
    case TopLeft:
    case BottomRight:
        m_widget->setCursor(Qt::SizeFDiagCursor);
        break;
    case TopRight:
    case BottomLeft:
        m_widget->setCursor(Qt::SizeBDiagCursor);
        break;
    default:
        m_widget->unsetCursor();
        break;
    }
}

void QBaseDrawWidget::setFrameGeomtry(QMouseEvent* event)
{
    if (m_cursorState == CursorNone)
        return;
    const int gx = event->globalPos().x(), gy = event->globalPos().y();
    QRect g = m_widget->geometry();
    int left = g.left(), right = g.right(), top = g.top(), bottom = g.bottom();
    const CursorAndState s = m_cursorState;
    if (s == Left || s == TopLeft || s == BottomLeft)
        left = gx - m_grabX;
    if (s == Right || s == TopRight || s == BottomRight)
        right = gx + m_grabX;
    if (s == Top || s == TopLeft || s == TopRight)
        top = gy - m_grabY;
    if (s == Bottom || s == BottomLeft || s == BottomRight)
        bottom = gy + m_grabY;
    const QRect screen = screenGeometry(), available = availableGeometry();
    if (right - left > m_widget->minimumWidth() && right - left < screen.width() - 4) {
        g.setLeft(left);
        g.setRight(right);
    }
    if (bottom - top > m_widget->minimumHeight() && bottom - top < available.height()) {
        g.setTop(top);
        g.setBottom(bottom);
    }
    m_widget->setGeometry(g);
    m_widget->update();
}

void QBaseDrawWidget::OnBtnMax()
{
    if (!m_widget)
        return;
    if (!m_maximised) {
        m_normalGeometry = m_widget->geometry();
        // The screen the window is on; its shadow margins fall outside.
        const QRect available = availableGeometry();
        m_widget->setGeometry(available.x() - m_marginLeft, available.y() - m_marginTop,
                              available.width() + m_marginLeft + m_marginRight,
                              available.height() + m_marginTop + m_marginBottom);
    } else {
        m_widget->setGeometry(m_normalGeometry);
    }
    m_maximised = !m_maximised;
    setCursorType(CursorNone);
}

void QBaseDrawWidget::mouseReleaseEvent(QMouseEvent*)
{
    m_pressed = false;
}

void QBaseDrawWidget::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (!m_widget)
        return;
    if (m_kind == ChildKind) {
        event->accept();
        return;
    }
    if (m_policy == StretchAll)
        OnBtnMax();
}

void QBaseDrawWidget::focusOutEvent(QFocusEvent*)
{
    if (m_widget)
        m_pressed = false;
}

void QBaseDrawWidget::updateWindowShape(bool askDesktop)
{
    if (!m_widget || m_kind == ChildKind || !m_widget->isWindow() ||
        !m_widget->testAttribute(Qt::WA_TranslucentBackground))
        return;
    const QMargins margins(m_marginLeft, m_marginTop, m_marginRight, m_marginBottom);
    if (margins.isNull())
        return;
    if (askDesktop)
        m_translucencyShown = QDesktopCompositing::isTranslucencyShown();
    updateShapedFrame();
    if (m_translucencyShown || m_maximised) {
        if (!m_widget->mask().isEmpty())
            m_widget->clearMask();
        return;
    }
    QDesktopCompositing::shapeToMargins(*m_widget, margins);
}

bool QBaseDrawWidget::event(QEvent* event)
{
    if (m_widget && m_kind != ChildKind && event->type() == QEvent::HoverMove && !m_pressed && !m_maximised &&
        m_policy != StretchNone) {
        const QPoint pos = static_cast<QHoverEvent*>(event)->pos();
        if (childBlocksCursor(pos))
            setCursorType(CursorNone);
    }
    return false;
}

#define VIDMEND_FORWARD_EVENTS(Class, Base)                                                                            \
    void Class::mousePressEvent(QMouseEvent* e)                                                                        \
    {                                                                                                                  \
        Base::mousePressEvent(e);                                                                                      \
        QBaseDrawWidget::mousePressEvent(e);                                                                           \
    }                                                                                                                  \
    void Class::mouseReleaseEvent(QMouseEvent* e)                                                                      \
    {                                                                                                                  \
        Base::mouseReleaseEvent(e);                                                                                    \
        QBaseDrawWidget::mouseReleaseEvent(e);                                                                         \
    }                                                                                                                  \
    void Class::mouseDoubleClickEvent(QMouseEvent* e)                                                                  \
    {                                                                                                                  \
        Base::mouseDoubleClickEvent(e);                                                                                \
        QBaseDrawWidget::mouseDoubleClickEvent(e);                                                                     \
    }                                                                                                                  \
    void Class::mouseMoveEvent(QMouseEvent* e)                                                                         \
    {                                                                                                                  \
        Base::mouseMoveEvent(e);                                                                                       \
        QBaseDrawWidget::mouseMoveEvent(e);                                                                            \
    }                                                                                                                  \
    void Class::focusOutEvent(QFocusEvent* e)                                                                          \
    {                                                                                                                  \
        Base::focusOutEvent(e);                                                                                        \
        QBaseDrawWidget::focusOutEvent(e);                                                                             \
    }                                                                                                                  \
    void Class::paintEvent(QPaintEvent* e)                                                                             \
    {                                                                                                                  \
        Base::paintEvent(e);                                                                                           \
        QBaseDrawWidget::paintEvent(e);                                                                                \
    }                                                                                                                  \
    void Class::resizeEvent(QResizeEvent* e)                                                                           \
    {                                                                                                                  \
        Base::resizeEvent(e);                                                                                          \
        resetControlLocation();                                                                                        \
        updateWindowShape(false);                                                                                      \
    }                                                                                                                  \
    void Class::showEvent(QShowEvent* e)                                                                               \
    {                                                                                                                  \
        Base::showEvent(e);                                                                                            \
        resetControlLocation();                                                                                        \
        updateWindowShape(true);                                                                                       \
    }                                                                                                                  \
    bool Class::event(QEvent* e)                                                                                       \
    {                                                                                                                  \
        if (QBaseDrawWidget::event(e))                                                                                 \
            return true;                                                                                               \
        return Base::event(e);                                                                                         \
    }

QZOMainWindow::QZOMainWindow(QWidget* parent) : QMainWindow(parent), QBaseDrawWidget(this, MainWindowKind) {}
VIDMEND_FORWARD_EVENTS(QZOMainWindow, QMainWindow)

QZODialog::QZODialog(QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags), QBaseDrawWidget(this, DialogKind)
{
}
VIDMEND_FORWARD_EVENTS(QZODialog, QDialog)

QZOWidget::QZOWidget(QWidget* parent, dlgType kind) : QWidget(parent), QBaseDrawWidget(this, kind) {}
VIDMEND_FORWARD_EVENTS(QZOWidget, QWidget)

void QDialogColseAnimation::startCloseGeometryAnimation(QWidget& widget)
{
    widget.setMinimumSize(0, 0);
    auto* animation = new QPropertyAnimation(&widget, "geometry");
    animation->setDuration(150);
    const QRect from = widget.geometry();
    animation->setStartValue(from);
    animation->setEndValue(QRect(from.left(), from.top() + from.height() / 2, from.width(), 0));
    QObject::connect(animation, &QPropertyAnimation::finished, &widget, &QWidget::close);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void QDialogColseAnimation::ColseTransparentAnimation(QWidget& widget)
{
    auto* animation = new QPropertyAnimation(&widget, "windowOpacity");
    animation->setDuration(400);
    animation->setStartValue(1.0);
    animation->setEndValue(0.0);
    QObject::connect(animation, &QPropertyAnimation::finished, &widget, &QWidget::close);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}
