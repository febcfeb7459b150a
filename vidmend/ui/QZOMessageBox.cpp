#include "QZOMessageBox.h"

#include <QApplication>
#include <QDebug>
#include <QFontMetrics>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>

#include <algorithm>

#include "QBaseImageDraw.h"
#include "QProjectConfig.h"
#include "QVeAnyUtiliy.h"
#include "QZOBaseButton.h"

QZOMessageBox::OptionCallback QZOMessageBox::s_pMessageBoxOptionCallback = nullptr;

namespace {

std::function<int(QZOMessageBox&)>& AnswerHook()
{
    static std::function<int(QZOMessageBox&)> hook;
    return hook;
}

QString Resource(const char* name)
{
    return QVeAnyUtiliy::getResourcePath() + QString::fromLatin1(name);
}

}  // namespace

QZOMessageBoxOption::QZOMessageBoxOption()
    : okText(QStringLiteral("OK")),
      cancelText(QStringLiteral("Cancel")),
      yesText(QStringLiteral("Yes")),
      noText(QStringLiteral("No"))
{
    QProjectConfig* config = QProjectConfig::getProjectConfig();
    titleFont = config->font();
    messageFont = config->font();
    dlgTop = config->dlgTop();
    dlgBottom = config->dlgBottom();
    transparentMargins = config->getTransparentMargins();
}

void QZOMessageBox::setAnswerHook(std::function<int(QZOMessageBox&)> hook)
{
    AnswerHook() = std::move(hook);
}

QZOMessageBox::QZOMessageBox(QWidget* parent) : QZODialog(parent)
{
    m_close = new QZOBaseButton(this);
    if (s_pMessageBoxOptionCallback)
        s_pMessageBoxOptionCallback(&m_option);
    QZODialog::setPalette(m_option.palette);
    const QMargins m = m_option.transparentMargins;
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setTransparentW(m.left(), m.top(), m.right(), m.bottom());
    setBackgroundImage(Resource("/pic/bg_msg.png"), false);
    const QString project = QProjectConfig::getProjectConfig()->projectName();
    setWindowTitle(project);
    setTitleRect(QRect(0, m.top(), 0, 0));
    setAlignment(Qt::AlignCenter);
    setMoveTopHeight(m_option.dlgTop + m.top());
    setDlgTitle(project);
    setFont(m_option.titleFont);
    setStretchPolicy(StretchNone);
    setGridViewInfo({58, 58}, {58, 58}, {58, 58}, {58, 58});
    InitMinSize();
    InitBtn();
}

QZOMessageBox::~QZOMessageBox()
{
    releaseBtnList();
}

int QZOMessageBox::ShowMessage(QWidget* parent, const QString& message, const QString& title, int icon,
                               int buttonStyle)
{
    // On the heap behind a guard: a parent deleted while the box runs its
    // loop takes the box with it, and nothing here deletes it a second time.
    QPointer<QZOMessageBox> box = new QZOMessageBox(parent);
    if (!title.isEmpty())
        box->setTitle(title);
    if (parent && (parent->windowFlags() & Qt::WindowStaysOnTopHint))
        box->setWindowFlags(box->windowFlags() | Qt::WindowStaysOnTopHint);
    box->setButtonStyle(buttonStyle);
    box->setMessageIcon(icon);
    box->setMessage(message);
    int result = 0;
    if (AnswerHook()) {
        box->prepareLayout();
        result = AnswerHook()(*box);
        if (result < 0 && box)
            result = box->exec();
    } else {
        result = box->exec();
    }
    if (!box)
        return 0;
    delete box.data();
    return result;
}

void QZOMessageBox::setTitle(const QString& title)
{
    setDlgTitle(title);
}

void QZOMessageBox::setButtonStyle(int style)
{
    m_buttonStyle = style;
    creatStyleButton();
}

void QZOMessageBox::setMessage(const QString& message)
{
    m_message = message;
    calcTextSize(message);
}

void QZOMessageBox::setMessageBoxOption(const QZOMessageBoxOption& option)
{
    m_option = option;
    QZODialog::setPalette(m_option.palette);
}

void QZOMessageBox::setPalette(const QPalette& palette)
{
    m_option.palette = palette;
    QZODialog::setPalette(palette);
}

void QZOMessageBox::setButtonColor(const QColor& normal, const QColor& hover, const QColor& pressed,
                                   const QColor& disabled)
{
    m_option.buttonTextColors[0] = normal;
    m_option.buttonTextColors[1] = hover;
    m_option.buttonTextColors[2] = pressed;
    m_option.buttonTextColors[3] = disabled;
}

QRect QZOMessageBox::getBtnRect() const
{
    const QMargins m = m_option.transparentMargins;
    return QRect(QPoint(m.left(), height() - m.bottom() - m_option.dlgBottom),
                 QPoint(width() - 1 - m.right(), height() - m.bottom() - 1));
}

void QZOMessageBox::releaseBtnList()
{
    while (!m_buttons.isEmpty())
        delete m_buttons.takeLast();
}

void QZOMessageBox::InitMinSize()
{
    const QMargins m = m_option.transparentMargins;
    m_minHeight = m_option.dlgTop + m_option.dlgBottom + m.top() + m.bottom() + 82;
    m_minWidth = static_cast<int>(m_minHeight * 1.618);
    resize(m_minWidth, m_minHeight);
}

void QZOMessageBox::InitBtn()
{
    m_close->setButtonImage(Resource("/pic/btn_close.png"), true);
    connect(m_close, &QAbstractButton::clicked, this, &QZOMessageBox::OnBtnClose);
}

void QZOMessageBox::creatStyleButton()
{
    releaseBtnList();
    switch (m_buttonStyle) {
    case OkButton:
        addButton(m_option.okText, 0x400);
        break;
    case CancelButton:
        addButton(m_option.cancelText, 0x400000);
        break;
    case YesNoButtons:
        addButton(m_option.yesText, 0x4000);
        addButton(m_option.noText, 0x10000);
        break;
    default:
        break;
    }
}

void QZOMessageBox::addButton(const QString& text, int result)
{
    auto* button = new QZOBaseButton(this);
    button->setButtonImage(Resource("/pic/btn_common.png"), true);
    const QColor* c = m_option.buttonTextColors;
    button->setTextColor(c[0], c[1], c[2], c[3]);
    button->setFont(m_option.buttonFont);
    button->setText(text);
    button->setDoneSign(result);
    const int textWidth =
        QFontMetrics(m_option.buttonFont).boundingRect(QRect(), Qt::TextSingleLine, text).width();
    button->resize(std::max(m_minButtonWidth, textWidth + 20), button->height());
    m_buttons.append(button);
    connect(button, &QAbstractButton::clicked, this, &QZOMessageBox::OnBtnDone);
}

void QZOMessageBox::OnBtnDone()
{
    auto* button = qobject_cast<QZOBaseButton*>(sender());
    if (button)
        done(button->getDoneSign());
}

void QZOMessageBox::OnBtnClose()
{
    done(0x200000);
}

QSize QZOMessageBox::lineSize(const QString& text) const
{
    const QRect r = QFontMetrics(m_option.messageFont).boundingRect(QRect(), Qt::TextSingleLine, text);
    return r.size();
}

QSize QZOMessageBox::calcTextSize(const QString& message)
{
    m_displayText = message;
    m_textSize = QSize(0, 0);
    if (message.isEmpty())
        return m_textSize;
    const QStringList lines = message.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    QString display;
    for (int i = 0; i < lines.size(); ++i) {
        const QString wrapped = splitStringline(lines[i]);
        display = i == 0 ? wrapped : display + QLatin1Char('\n') + wrapped;
        for (const QString& part : wrapped.split(QLatin1Char('\n'), Qt::KeepEmptyParts)) {
            const QSize s = lineSize(part);
            m_textSize.setWidth(std::max(m_textSize.width(), s.width()));
            m_textSize.setHeight(m_textSize.height() + s.height());
        }
    }
    m_displayText = display;
    return m_textSize;
}

QString QZOMessageBox::splitStringline(const QString& line) const
{
    // Breaks are made in a loop rather than by calling itself: a long word
    // in a long message must not run the stack out.
    QString result;
    QString rest = line;
    const auto fits = [this](const QString& text) { return lineSize(text).width() <= m_maxTextWidth; };
    while (!rest.isEmpty()) {
        const QStringList words = rest.split(QLatin1Char(' '), Qt::KeepEmptyParts);
        const QString& first = words.front();
        if (!fits(first)) {
            int n = 0;
            while (n < first.size() && fits(first.left(n + 1)))
                ++n;
            n = std::max(n, 1);
            QStringList remaining = words.mid(1);
            remaining.prepend(first.mid(n));
            result += first.left(n) + QLatin1Char('\n');
            rest = remaining.join(QLatin1Char(' '));
            if (rest.isEmpty())
                result.chop(1);  // the word ended at the break
            continue;
        }
        QString text = first;
        int taken = 1;
        while (taken < words.size() && fits(text + QLatin1Char(' ') + words[taken])) {
            text += QLatin1Char(' ') + words[taken];
            ++taken;
        }
        if (taken == words.size()) {
            result += text;
            break;
        }
        result += text + QLatin1Char('\n');
        rest = words.mid(taken).join(QLatin1Char(' '));
    }
    return result;
}

void QZOMessageBox::InitIcon()
{
    m_iconImage.reset();
    const char* picture = nullptr;
    switch (m_icon) {
    case Warning:
        picture = "/pic/warning.png";
        break;
    case Success:
        picture = "/pic/Success.png";
        break;
    case Error:
        picture = "/pic/error.png";
        break;
    case Help:
        picture = "/pic/help.png";
        break;
    default:
        break;
    }
    if (!picture)
        return;
    m_iconImage = std::make_unique<QImage>(Resource(picture));
    m_iconImage->setDevicePixelRatio(2.0);
}

void QZOMessageBox::calcBoxRect()
{
    const QMargins M = m_option.transparentMargins;
    const int P = m_option.sidePadding, G = m_option.buttonSpacing;
    const int T = m_option.dlgTop, B = m_option.dlgBottom;
    const QSize text = m_textSize.width() < 0 ? QSize(0, 0) : m_textSize;
    m_textIndent = 20;
    int textColumn = text.width() + 40;
    int iconColumn = 0;
    if (m_iconImage) {
        iconColumn = m_iconImage->width() / 2 + 40;
        textColumn -= 20;
        m_textIndent = 0;
    }
    int buttons = 0;
    for (QZOBaseButton* b : m_buttons)
        buttons += b->width();
    const int buttonRow = M.left() + M.right() + 2 * P + buttons + G * (int(m_buttons.size()) - 1);
    const int content = text.height() + 40 + M.top() + T + B + M.bottom();
    const int w = m_option.fixedWidth >= 1
                      ? std::max(m_minWidth, m_option.fixedWidth)
                      : std::max({M.left() + iconColumn + textColumn + M.right(), m_minWidth, buttonRow});
    const int h = m_option.fixedHeight >= 1 ? std::max(m_minHeight, m_option.fixedHeight) : std::max(content, m_minHeight);
    const int y = (h - 40 - text.height() - (M.top() + T + B + M.bottom())) / 2 + M.top() + T;
    m_iconRect = QRect(M.left(), y, iconColumn, text.height() + 40);
    m_textRect = QRect(M.left() + iconColumn, y, textColumn, text.height() + 40);
    resize(w, h);
}

void QZOMessageBox::prepareLayout()
{
    InitIcon();
    calcBoxRect();
    resetControlLocation();
}

void QZOMessageBox::CenterParentDlg()
{
    QWidget* parent = parentWidget();
    const QPoint p = parent->mapToGlobal(QPoint(0, 0));
    int x = p.x() + (parent->width() - width()) / 2;
    int y = p.y() + (parent->height() - height()) / 2;
    if (x < 1)
        x = 50;
    if (y < 1)
        y = 50;
    move(x, y);
}

void QZOMessageBox::showEvent(QShowEvent* event)
{
    InitIcon();
    calcBoxRect();
    if (!m_shownOnce) {
        m_shownOnce = true;
        if (!parentWidget()) {
            if (QScreen* screen = QGuiApplication::primaryScreen()) {
                const QRect g = screen->geometry();
                move((g.width() - width()) / 2, (g.height() - height()) / 2);
            }
        } else {
            CenterParentDlg();
        }
    }
    QZODialog::showEvent(event);
    resetControlLocation();
}

void QZOMessageBox::resetControlLocation()
{
    const QMargins M = m_option.transparentMargins;
    m_close->move(M.left() + 8 + m_option.closeButtonOffset.x(), M.top() + 5 + m_option.closeButtonOffset.y());
    m_close->setEnabled(m_option.closeButtonEnabled);
    const int B = m_option.dlgBottom;
    int right = width() - M.right() - m_option.sidePadding;
    for (int i = int(m_buttons.size()) - 1; i >= 0; --i) {
        QZOBaseButton* b = m_buttons[i];
        const int x = right - b->width();
        const int y = height() - B - M.bottom() + (B - b->height()) / 2;
        b->move(x, y);
        right = x - m_option.buttonSpacing;
    }
}

void QZOMessageBox::paintEvent(QPaintEvent* event)
{
    QZODialog::paintEvent(event);
    QPainter painter(this);
    drawIcon(&painter);
    drawMessage(&painter);
}

void QZOMessageBox::drawIcon(QPainter* painter)
{
    if (!painter || !m_iconImage || m_iconImage->isNull())
        return;
    const int w = m_iconImage->width() / 2, h = m_iconImage->height() / 2;
    const QRect r = m_iconRect;
    const QRect target(r.x() + (r.width() - w) / 2, r.y() - m_option.iconOffsetY + (r.height() - h) / 2, w, h);
    QBaseImageDraw::drawImage(*painter, target, QRect(0, 0, w, h), *m_iconImage);
}

void QZOMessageBox::drawMessage(QPainter* painter)
{
    if (!painter || m_displayText.isEmpty())
        return;
    const QRect r = m_textRect;
    const QRect target(r.x() + m_textIndent, r.y() + (r.height() - m_textSize.height()) / 2, m_textSize.width(),
                       m_textSize.height());
    painter->setRenderHint(QPainter::TextAntialiasing);
    painter->setFont(m_option.messageFont);
    painter->setPen(palette().color(QPalette::Text));
    painter->drawText(target, Qt::TextWrapAnywhere, m_displayText);
}
