// The drawing mixin of the rectangular input controls (line edit, text edit,
// combo box): a nine-grid background (or a four-frame state strip in button
// mode), an icon and one elided text line inside margins. Not a QObject: the
// host widget forwards its events to the *EventDraw handlers.
#ifndef VIDMEND_QZOBASERECTIMAGEDRAW_H
#define VIDMEND_QZOBASERECTIMAGEDRAW_H

#include <QColor>
#include <QImage>
#include <QMargins>
#include <QRect>
#include <QString>

#include <memory>

class QMouseEvent;
class QPainter;
class QWidget;

class QZOBaseRectImageDraw {
public:
    enum DrawState { Normal = 0, Hover = 1, Pressed = 2, Disabled = 3 };

    explicit QZOBaseRectImageDraw(QWidget* widget);
    virtual ~QZOBaseRectImageDraw();
    QZOBaseRectImageDraw(const QZOBaseRectImageDraw&) = delete;
    QZOBaseRectImageDraw& operator=(const QZOBaseRectImageDraw&) = delete;

    bool setBackgroundImage(const QString& path);
    bool setBackgroundImage(const QImage& image);
    bool setRectIcon(const QString& path);
    bool setRectIcon(const QImage& image);
    void setIconRect(const QRect& rect) { m_iconRect = rect; }
    QRect iconRect() const { return m_iconRect; }
    void setDrawText(const QString& text);
    QString drawText() const { return m_text; }
    void setAlignment(int alignment);
    int alignment() const { return m_alignment; }
    void setTextDrawable(bool on) { m_textDrawable = on; }
    bool isTextDrawable() const { return m_textDrawable; }
    void setDrawTextMargins(int left, int top, int right, int bottom);
    void setDrawTextMargins(const QMargins& margins);
    QMargins drawTextMargins() const;
    void setTextColor(const QColor& color);
    void setTextColor(const QColor& normal, const QColor& hover, const QColor& pressed, const QColor& disabled);
    void setCheckState(bool checked) { m_checked = checked; }
    void setIconBtnMode(bool on) { m_iconBtnMode = on; }
    bool IsIconBtnMode() const { return m_iconBtnMode; }
    void setBtnMode(bool on) { m_btnMode = on; }
    bool isBtnMode() const { return m_btnMode; }
    bool isCustomDraw() const { return m_background != nullptr; }
    void resetBtnState();
    int drawState() const { return m_state; }
    QColor currentDrawColor() const { return m_currentColor; }

    // The host's events. Press reports false when the widget is disabled.
    bool mousePressEventDraw(QMouseEvent* event);
    void mouseReleaseEventDraw(QMouseEvent* event);
    void enterEventDraw();
    void leaveEventDraw();
    void changeEventDraw();
    void paintEvent();

protected:
    virtual void drawBackgroundImage(QPainter& painter);
    virtual void drawIcon(QPainter& painter);
    virtual void drawRectText(QPainter& painter);
    QColor drawTextColor();
    QWidget* drawWidget() const { return m_widget; }

private:
    int frameOf() const;
    void iconDraw(QPainter& painter, const QImage& image);
    void setState(int state, bool immediate);
    void refresh();

    QWidget* m_widget;
    std::unique_ptr<QImage> m_background;
    std::unique_ptr<QImage> m_icon;
    bool m_btnMode = false;
    QRect m_iconRect{0, -1, 0, 0};
    bool m_iconBtnMode = false;
    QString m_text;
    bool m_textDrawable = true;
    qint16 m_margins[4] = {1, 1, 1, 1};
    int m_alignment = 0x81;
    QColor m_currentColor = Qt::black;
    QColor m_textColors[4] = {Qt::black, Qt::black, Qt::black, Qt::black};
    bool m_checked = false;
    int m_state = Normal;
};

#endif
