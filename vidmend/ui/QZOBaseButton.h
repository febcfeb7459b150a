// Self-drawn push buttons: a four-state image strip (normal, hover, pressed,
// disabled side by side at device pixel ratio 2), an optional icon strip,
// per-state text colours, a blinking mode and a round count badge.
#ifndef VIDMEND_QZOBASEBUTTON_H
#define VIDMEND_QZOBASEBUTTON_H

#include <QColor>
#include <QImage>
#include <QPushButton>
#include <QRect>
#include <QString>

#include <memory>

class QAbstractButton;
class QFocusEvent;
class QMouseEvent;
class QPainter;

// The drawing mixin: not a QObject, driven from the button's event handlers.
class QZOBaseButtonDraw {
public:
    enum BtnState { Normal = 0, Hover = 1, Pressed = 2, Disabled = 3 };

    explicit QZOBaseButtonDraw(QAbstractButton* button);
    ~QZOBaseButtonDraw();
    QZOBaseButtonDraw(const QZOBaseButtonDraw&) = delete;
    QZOBaseButtonDraw& operator=(const QZOBaseButtonDraw&) = delete;

    bool setButtonImage(const QString& path, bool grid);
    bool setButtonImage(QImage* image, bool grid, bool copy);
    bool setButtonImage(const QImage& image, bool grid);
    bool setBtnIcon(const QString& path);
    bool setBtnIcon(const QImage& image);

    void setStaticState(bool on) { m_staticState = on; }
    void setBtnState(int state) { m_state = state; }
    int getBtnState() const { return m_state; }
    void setAlignment(int alignment) { m_alignment = alignment; }
    int alignment() const { return m_alignment; }
    void setIconBtnMode(bool on) { m_iconBtnMode = on; }
    bool isIconbtnMode() const { return m_iconBtnMode; }
    void setIconRect(const QRect& rect);
    void setGridView(bool grid);
    void setTag(int tag) { m_tag = tag; }
    int getTag() const { return m_tag; }
    void setDoneSign(int sign) { m_doneSign = sign; }
    int getDoneSign() const { return m_doneSign; }
    int itmeCount() const { return m_itemCount; }
    void setTagPixelSize(int size) { m_tagPixelSize = size; }
    void setTagRect(const QRect& rect) { m_tagRect = rect; }
    void setTagBgImage(const QString& first, const QString& second);
    void setTagBgAlternateColor(const QColor& first, const QColor& second);
    void setTagTextAlternateColor(const QColor& first, const QColor& second);
    void setAlternateEffect(bool on, int intervalMs);
    void setEnterIsChangeMouse(bool on) { m_enterChangesCursor = on; }
    bool getEnterIsChangeMouse() const { return m_enterChangesCursor; }
    int getMouseMapValue() const { return m_mouseMapValue; }
    QColor currentDrawColor() const { return m_currentColor; }
    QRect textRect() const { return m_textRect; }
    void setTextColor(const QColor& color);
    void setTextColor(const QColor& normal, const QColor& hover, const QColor& pressed, const QColor& disabled);
    void setTextRect(const QRect& rect);
    bool isCustomDraw() const { return m_image != nullptr; }
    const QImage* buttonImage() const { return m_image; }

    void resetCount();
    void addItemCount();
    void startFlicker(int ms);
    void stopFlicker();
    bool isFlickering() const { return m_flickerOn; }
    int flickerPhase() const { return m_flickerPhase; }
    int alternatePhase() const { return m_alternatePhase; }

protected:
    virtual void focusInEvent(QFocusEvent* event);
    virtual void focusOutEvent(QFocusEvent* event);
    virtual void DrawBackground(QPainter& painter);
    virtual void DrawButtonText(QPainter& painter);
    virtual void DrawFocus(QPainter& painter);
    virtual void DrawIcon(QPainter& painter);
    virtual void DrawFlicker(QPainter& painter);
    virtual void DrawDigitalTag(QPainter& painter);

    // The mixin's part of the events; press and release report whether the
    // button should signal them.
    bool drawMousePress(QMouseEvent* event);
    bool drawMouseRelease(QMouseEvent* event);
    void drawEnter();
    void drawLeave();
    void drawEnabledChange();
    // True when the timer was one of the mixin's.
    bool drawTimer(int timerId);
    void paintAll(QPainter& painter);

private:
    int frameToDraw() const;
    void drawFrame(QPainter& painter, int frame);
    void iconDraw(QPainter& painter, const QImage& image);
    void clearImage();
    void repaint();

    QAbstractButton* m_button;
    QImage* m_image = nullptr;
    bool m_ownsImage = false;
    std::unique_ptr<QImage> m_icon;
    QRect m_iconRect{0, 0, 0, 0};
    bool m_iconBtnMode = false;
    int m_state = Normal;
    bool m_staticState = false;
    bool m_textRectSet = false;
    QRect m_textRect;
    QColor m_currentColor = Qt::black;
    int m_mouseMapValue = 0;
    bool m_grid = true;
    int m_tag = 0;
    QColor m_textColors[4] = {Qt::black, Qt::black, Qt::black, Qt::black};
    int m_alignment = Qt::AlignCenter;
    bool m_hasFocus = false;
    bool m_mouseInside = false;
    int m_tagPixelSize = 11;
    int m_itemCount = 0;
    QRect m_tagRect{QPoint(-1, -1), QPoint(18, 18)};
    QString m_tagImages[2];
    QColor m_tagBgColors[2] = {QColor(255, 120, 0), QColor(255, 120, 0)};
    QColor m_tagTextColors[2] = {Qt::white, Qt::white};
    int m_countTimerId = 0;
    bool m_alternateEffect = false;
    int m_alternateInterval = 0;
    int m_alternatePhase = 0;
    bool m_flickerOn = false;
    int m_flickerTimerId = 0;
    int m_flickerInterval = 0;
    int m_flickerPhase = 0;
    bool m_enterChangesCursor = true;
    int m_doneSign = 0;
};

class QZOBaseButton : public QPushButton, public QZOBaseButtonDraw {
    Q_OBJECT
public:
    explicit QZOBaseButton(QWidget* parent = nullptr);
    explicit QZOBaseButton(const QString& text, QWidget* parent = nullptr);
    void seedClick() { click(); }

signals:
    void mouseMove(QMouseEvent* event, int mapValue);
    void mouseDown(QMouseEvent* event, int mapValue);
    void mouseRelease(QMouseEvent* event, int mapValue);
    void mouseEnter(QEvent* event);
    void mouseLeave(QEvent* event);

public slots:
    void addItemCount() { QZOBaseButtonDraw::addItemCount(); }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
};

#endif
