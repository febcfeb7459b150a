// The application's message box: frameless and modal, on a nine-grid
// background, with an optional icon, a message it wraps itself at 500
// pixels, a close button and one or two text buttons. Every box takes its
// look from an option record that the application's option callback fills.
#ifndef VIDMEND_QZOMESSAGEBOX_H
#define VIDMEND_QZOMESSAGEBOX_H

#include <QColor>
#include <QFont>
#include <QImage>
#include <QList>
#include <QMargins>
#include <QPalette>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QString>

#include <functional>
#include <memory>

#include "QBaseDrawWidget.h"

class QZOBaseButton;

struct QZOMessageBoxOption {
    QZOMessageBoxOption();
    QString okText;
    QString cancelText;
    QString yesText;
    QString noText;
    QFont buttonFont;
    QColor buttonTextColors[4] = {Qt::black, Qt::black, Qt::black, Qt::black};
    int sidePadding = 20;
    int buttonSpacing = 15;
    QPalette palette;
    QFont titleFont;
    QFont messageFont;
    int dlgTop = 0;
    int dlgBottom = 0;
    QMargins transparentMargins;
    QPoint closeButtonOffset{0, 0};
    bool closeButtonEnabled = true;
    int fixedWidth = -1;
    int fixedHeight = -1;
    int iconOffsetY = 0;
};

class QZOMessageBox : public QZODialog {
    Q_OBJECT
public:
    enum Icon { NoIconSet = 0, Warning = 1, NoIcon = 2, Success = 3, Error = 4, Help = 5 };
    enum ButtonStyle { OkButton = 1, CancelButton = 2, YesNoButtons = 4 };
    using OptionCallback = void (*)(QZOMessageBoxOption*);

    explicit QZOMessageBox(QWidget* parent = nullptr);
    ~QZOMessageBox() override;

    // The message comes before the title. The results are Qt's standard
    // buttons: 0x400 OK, 0x400000 Cancel, 0x4000 Yes, 0x10000 No, 0x200000
    // the close button, 0 when Escape rejects the box.
    static int ShowMessage(QWidget* parent, const QString& message, const QString& title, int icon, int buttonStyle);
    static void setOptionCallback(OptionCallback callback) { s_pMessageBoxOptionCallback = callback; }
    // For tests: answers every box instead of running it; -1 lets it run.
    // The hook gets the box after it was laid out, before it would be shown.
    static void setAnswerHook(std::function<int(QZOMessageBox&)> hook);

    void setTitle(const QString& title);
    QString getTitle() const { return getDlgTitle(); }
    void setButtonStyle(int style);
    void setMessageIcon(int icon) { m_icon = icon; }
    int getMessageIcon() const { return m_icon; }
    void setMessage(const QString& message);
    QString getMessage() const { return m_message; }
    QString displayText() const { return m_displayText; }
    QSize textSize() const { return m_textSize; }
    void setMessageBoxOption(const QZOMessageBoxOption& option);
    QZOMessageBoxOption getMessageBoxOption() const { return m_option; }
    void setTitleFont(const QFont& font) { m_option.titleFont = font; }
    void setMessageFont(const QFont& font) { m_option.messageFont = font; }
    QFont messageFont() const { return m_option.messageFont; }
    void setPalette(const QPalette& palette);
    void setButtonColor(const QColor& normal, const QColor& hover, const QColor& pressed, const QColor& disabled);
    QRect getIconRect() const { return m_iconRect; }
    QRect getTextRect() const { return m_textRect; }
    QRect getBtnRect() const;
    void releaseBtnList();
    const QList<QZOBaseButton*>& buttons() const { return m_buttons; }
    QZOBaseButton* closeButton() const { return m_close; }

    // Lays the box out as showing it would; for tests and the hook.
    void prepareLayout();

    virtual void drawIcon(QPainter* painter);
    virtual void drawMessage(QPainter* painter);
    void resetControlLocation() override;

public slots:
    void OnBtnClose();
    void OnBtnDone();

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void InitMinSize();
    void InitBtn();
    void InitIcon();
    void calcBoxRect();
    void creatStyleButton();
    void addButton(const QString& text, int result);
    QSize calcTextSize(const QString& message);
    QString splitStringline(const QString& line) const;
    QSize lineSize(const QString& text) const;
    void CenterParentDlg();

    static OptionCallback s_pMessageBoxOptionCallback;

    std::unique_ptr<QImage> m_iconImage;
    int m_icon = 0;
    QRect m_iconRect;
    QRect m_textRect;
    QString m_message;
    QString m_displayText;
    QSize m_textSize{-1, -1};
    QZOBaseButton* m_close = nullptr;
    QList<QZOBaseButton*> m_buttons;
    int m_buttonStyle = 1;
    QZOMessageBoxOption m_option;
    int m_minButtonWidth = 80;
    int m_minWidth = 0;
    int m_minHeight = 0;
    bool m_shownOnce = false;
    const int m_maxTextWidth = 500;
    int m_textIndent = 20;
};

#endif
