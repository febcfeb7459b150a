// Self-drawn check boxes and radio buttons: a check mark image chosen by the
// check state (normal and disabled frames side by side at device pixel ratio
// 2), an optional icon and the elided text. A radio button can instead be a
// push button from a four-state strip that toggles on each press. Without
// images both keep Qt's own drawing.
#ifndef VIDMEND_QZOBASEBOXDRAW_H
#define VIDMEND_QZOBASEBOXDRAW_H

#include <QCheckBox>
#include <QImage>
#include <QRadioButton>
#include <QRect>
#include <QString>
#include <QVariant>

#include <memory>

#include "QZOBaseButton.h"

class QAbstractButton;
class QPainter;

// The drawing mixin: not a QObject, driven from the button's paint event.
class QZOBaseBoxDraw {
public:
    enum enumBoxType { CheckBox = 0, RadioButton = 1 };

    QZOBaseBoxDraw(QAbstractButton* button, enumBoxType type);
    ~QZOBaseBoxDraw();
    QZOBaseBoxDraw(const QZOBaseBoxDraw&) = delete;
    QZOBaseBoxDraw& operator=(const QZOBaseBoxDraw&) = delete;

    // Nothing when the checked file does not exist; the partial image is
    // optional. The unnamed flag is kept for callers and has no effect.
    void setCheckImage(const QString& checked, const QString& unchecked, const QString& partial, bool,
                       bool twoFrames);
    // Copies (owned) or borrows the images; the first two are required.
    void setCheckImage(QImage* checked, QImage* unchecked, QImage* partial, bool, bool twoFrames, bool copy);
    bool setBtnIcon(const QString& path);
    void setIconRect(const QRect& rect) { m_iconRect = rect; }
    void setTextRect(const QRect& rect) { m_textRect = rect; }
    void setAlignment(int alignment) { m_alignment = alignment; }
    int alignment() const { return m_alignment; }
    void setData(const QVariant& data) { m_data = data; }
    QVariant getData() const { return m_data; }
    void setBgFillMode(bool on) { m_bgFill = on; }
    bool isCustomDraw() const { return m_checked != nullptr; }
    QRect checkRect() const { return m_checkRect; }
    QRect textRect() const { return m_textRect; }
    void adjustSize();

protected:
    virtual void DrawCheckImage(QPainter& painter);
    virtual void DrawIconImage(QPainter& painter);
    virtual void DrawCheckText(QPainter& painter);
    void paintBox();

private:
    void clearImages();

    QImage* m_checked = nullptr;
    QImage* m_unchecked = nullptr;
    QImage* m_partial = nullptr;
    std::unique_ptr<QImage> m_icon;
    QRect m_iconRect{0, 0, 0, 0};
    QRect m_checkRect{0, 0, 0, 0};
    QRect m_textRect{0, 0, 0, 0};
    int m_alignment = Qt::AlignLeft | Qt::AlignVCenter;
    QAbstractButton* m_button;
    enumBoxType m_type;
    bool m_twoFrames = true;
    bool m_ownsImages = false;
    QVariant m_data;
    bool m_bgFill = false;
};

class QZOCheckBox : public QCheckBox, public QZOBaseBoxDraw {
    Q_OBJECT
public:
    explicit QZOCheckBox(QWidget* parent = nullptr);
    explicit QZOCheckBox(const QString& text, QWidget* parent = nullptr);

    void setCheckImage(const QString& checked, const QString& unchecked, const QString& partial, bool twoFrames);
    void setCheckImage(QImage* checked, QImage* unchecked, QImage* partial, bool twoFrames, bool copy);
    void adjustSize();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    // The whole widget, text included, toggles the box.
    bool hitButton(const QPoint& pos) const override;
};

class QZORadioButton : public QRadioButton, public QZOBaseBoxDraw, public QZOBaseButtonDraw {
    Q_OBJECT
public:
    explicit QZORadioButton(QWidget* parent = nullptr);
    explicit QZORadioButton(const QString& text, QWidget* parent = nullptr);

    // Button mode: the checked path is a four-state button strip.
    void setCheckImage(const QString& checked, const QString& unchecked, bool buttonMode, bool twoFrames);
    bool isButtonMode() const { return m_buttonMode; }
    bool setBtnIcon(const QString& path);
    void setIconRect(const QRect& rect);
    int alignment() const;
    void setAlignment(int alignment);
    void setTextRect(const QRect& rect);
    void adjustSize();
    void seedClick() { click(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void nextCheckState() override;
    // In button mode the whole button is the target, as for a push button.
    bool hitButton(const QPoint& pos) const override;

private:
    // Flips the state, unchecking too, which an exclusive radio button refuses.
    void toggle();

    bool m_buttonMode = false;
    bool m_toggledOnPress = false;
};

#endif
