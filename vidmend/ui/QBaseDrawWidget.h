// Frameless, self-drawn windows: a nine-grid background with a transparent
// shadow margin, a logo and a title; moved by a drag band at the top,
// resized by their borders, maximised and restored. The mixin is combined
// with QMainWindow, QDialog and QWidget below; they forward their events.
#ifndef VIDMEND_QBASEDRAWWIDGET_H
#define VIDMEND_QBASEDRAWWIDGET_H

#include <QColor>
#include <QDialog>
#include <QImage>
#include <QMainWindow>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>

#include <memory>

class QMouseEvent;
class QPainter;

class QBaseDrawWidget {
public:
    enum dlgType { MainWindowKind = 0, DialogKind = 1, ChildKind = 2 };
    enum enumStretchPolicy { StretchNone = 0, StretchHorizontal = 1, StretchVertical = 2, StretchAll = 3 };
    enum CursorAndState { CursorNone = 0, Left, TopLeft, Top, TopRight, Right, BottomRight, Bottom, BottomLeft };
    struct rectSize {
        int width = 0;
        int height = 0;
    };

    QBaseDrawWidget(QWidget* drawWidget, dlgType kind);
    ~QBaseDrawWidget();
    QBaseDrawWidget(const QBaseDrawWidget&) = delete;
    QBaseDrawWidget& operator=(const QBaseDrawWidget&) = delete;

    void setStretchPolicy(enumStretchPolicy policy);
    enumStretchPolicy stretchPolicy() const { return m_policy; }
    void setDrawWidget(QWidget* widget) { m_widget = widget; }
    QWidget* DrawWiget() const { return m_widget; }
    void setMoveTopHeight(int height) { m_moveTopHeight = height; }
    void setStretchWidth(int width) { m_gripWidth = width; }
    int stretchWidth() const { return m_gripWidth; }
    CursorAndState cursorAndState() const { return m_cursorState; }
    bool isMaxSize() const { return m_maximised; }
    void setTransparentW(int m) { setTransparentW(m, m, m, m); }
    void setTransparentW(int left, int top, int right, int bottom);
    void setBackgroundImage(const QString& path, bool stretch);
    void setBackgroundImage(const QImage& image, bool stretch);
    void changeBackgroundImage(const QImage& image);
    // Corner cells in logical pixels (the window's own units).
    void setGridViewInfo(rectSize topLeft, rectSize topRight, rectSize bottomLeft, rectSize bottomRight);
    rectSize gridCorner(int index) const { return m_corners[index]; }
    void setBackgrounColor(const QColor& color);
    QColor getBackgrounColor() const { return m_bgColor; }
    void setLogoImage(const QString& path);
    void setLogoImage(const QImage& image);
    void setLogoRect(const QRect& rect) { m_logoRect = rect; }
    void setTitleRect(const QRect& rect) { m_titleRect = rect; }
    void setAlignment(Qt::Alignment alignment);
    Qt::Alignment alignment() const { return m_titleAlignment; }
    void setDlgTitle(const QString& title);
    QString getDlgTitle() const { return m_title; }
    // The rectangle the title is drawn in, after the defaults are applied.
    QRect titleDrawRect() const;
    void CenterDlg(QDialog& dialog);

    virtual void resetControlLocation() {}
    virtual void OnBtnMax();

    void paintEvent(QPaintEvent* event);
    void mousePressEvent(QMouseEvent* event);
    void mouseMoveEvent(QMouseEvent* event);
    void mouseReleaseEvent(QMouseEvent* event);
    void mouseDoubleClickEvent(QMouseEvent* event);
    void focusOutEvent(QFocusEvent* event);
    bool event(QEvent* event);
    // Without a compositing desktop the transparent margin would show
    // black: the window is shaped to what lies inside it. The desktop is
    // asked again when the window is shown, not on every resize.
    void updateWindowShape(bool askDesktop);
    // Whether the window is cut to the inside of its shadow margin (no
    // compositor): it then draws a frame along its edge.
    bool isShapedToMargins() const;
    static QColor frameColor() { return QColor(150, 150, 150); }

protected:
    virtual void setCursorType(CursorAndState state);
    virtual void setCursorAndState(QMouseEvent* event);
    virtual void setFrameGeomtry(QMouseEvent* event);
    virtual void DrawLogo(QPainter& painter);
    virtual void DrawWgtText(QPainter& painter);

private:
    bool childBlocksCursor(const QPoint& local) const;
    void updateShapedFrame();
    QRect screenGeometry() const;
    QRect availableGeometry() const;

    QWidget* m_widget;
    dlgType m_kind;
    std::unique_ptr<QImage> m_bg;
    std::unique_ptr<QImage> m_logo;
    QColor m_bgColor{100, 100, 100, 100};
    int m_moveTopHeight = 40;
    bool m_pressed = false;
    QPoint m_pressOffset;
    QPoint m_pressPos;
    QRect m_normalGeometry;
    CursorAndState m_cursorState = CursorNone;
    enumStretchPolicy m_policy = StretchAll;
    int m_gripWidth = 4;
    bool m_maximised = false;
    int m_grabX = 0;
    int m_grabY = 0;
    int m_marginLeft = 0, m_marginRight = 0, m_marginTop = 0, m_marginBottom = 0;
    bool m_translucencyShown = true;
    QWidget* m_frame = nullptr;  // a child of the window, shown while it is shaped
    rectSize m_corners[4];
    QRect m_logoRect{0, 0, 0, 0};
    QString m_title;
    QRect m_titleRect{0, 0, 0, 0};
    Qt::Alignment m_titleAlignment = Qt::AlignLeft;
};

// The handlers through which each window class below passes its events to
// its Qt base and to the mixin (VIDMEND_FORWARD_EVENTS in the source defines
// them).
#define VIDMEND_FORWARDED_EVENT_HANDLERS                  \
    void mousePressEvent(QMouseEvent* e) override;       \
    void mouseReleaseEvent(QMouseEvent* e) override;     \
    void mouseDoubleClickEvent(QMouseEvent* e) override; \
    void mouseMoveEvent(QMouseEvent* e) override;        \
    void focusOutEvent(QFocusEvent* e) override;         \
    void paintEvent(QPaintEvent* e) override;            \
    void resizeEvent(QResizeEvent* e) override;          \
    void showEvent(QShowEvent* e) override;              \
    bool event(QEvent* e) override;

class QZOMainWindow : public QMainWindow, public QBaseDrawWidget {
    Q_OBJECT
public:
    explicit QZOMainWindow(QWidget* parent = nullptr);

protected:
    VIDMEND_FORWARDED_EVENT_HANDLERS
};

class QZODialog : public QDialog, public QBaseDrawWidget {
    Q_OBJECT
public:
    explicit QZODialog(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());

protected:
    VIDMEND_FORWARDED_EVENT_HANDLERS
};

class QZOWidget : public QWidget, public QBaseDrawWidget {
    Q_OBJECT
public:
    explicit QZOWidget(QWidget* parent = nullptr, dlgType kind = ChildKind);

protected:
    VIDMEND_FORWARDED_EVENT_HANDLERS
};

class QDialogColseAnimation {
public:
    // Collapses the geometry to its vertical centre over 150 ms, then closes.
    static void startCloseGeometryAnimation(QWidget& widget);
    // Fades the window out over 400 ms, then closes.
    static void ColseTransparentAnimation(QWidget& widget);
};

#endif
