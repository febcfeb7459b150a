#include "QZOLineEdit.h"

#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QResizeEvent>
#include <QTextEdit>

QZOLineEdit::QZOLineEdit(QWidget* parent) : QLineEdit(parent), QZOBaseRectImageDraw(this)
{
    setAttribute(Qt::WA_MacShowFocusRect, false);
    setAcceptDrops(false);
    m_normalTextColor = palette().color(QPalette::Text);
}

bool QZOLineEdit::setBackgroundImage(const QString& path)
{
    return backgroundTaken(QZOBaseRectImageDraw::setBackgroundImage(path));
}

bool QZOLineEdit::setBackgroundImage(const QImage& image)
{
    return backgroundTaken(QZOBaseRectImageDraw::setBackgroundImage(image));
}

bool QZOLineEdit::backgroundTaken(bool taken)
{
    if (!taken)
        return false;
    // Qt's frame and fill give way to the drawn background.
    setStyleSheet(QStringLiteral("QLineEdit {background-color:transparent;border:none; padding: 0px 0px 1px -2px}"));
    setDrawTextMargins(3, 0, 2, 0);
    return true;
}

void QZOLineEdit::onlyInputNumber()
{
    const QRegularExpression positive(QStringLiteral("^[0-9]*[1-9][0-9]*$"));
    setValidator(new QRegularExpressionValidator(positive, this));
}

void QZOLineEdit::setAlignment(Qt::Alignment alignment)
{
    QLineEdit::setAlignment(alignment);
    QZOBaseRectImageDraw::setAlignment(static_cast<int>(alignment));
}

void QZOLineEdit::setPalette(const QPalette& palette)
{
    QLineEdit::setPalette(palette);
    m_normalTextColor = palette.color(QPalette::Text);
}

void QZOLineEdit::setPlaceholderText(const QString& text)
{
    QLineEdit::setPlaceholderText(text);
    m_placeholder = text;
}

void QZOLineEdit::setTextColorAll(const QColor& color)
{
    QPalette p = palette();
    p.setColor(QPalette::All, QPalette::Text, color);
    QLineEdit::setPalette(p);
}

void QZOLineEdit::setPlaceholderTextColor(const QColor& color, bool swap)
{
    m_placeholderColor = color;
    m_swap = swap;
    if (swap && text().isEmpty()) {
        QLineEdit::setPlaceholderText(m_placeholder);
        setTextColorAll(m_placeholderColor);
    }
}

void QZOLineEdit::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    if (!m_swap)
        return;
    QLineEdit::setPlaceholderText(QString());
    setTextColorAll(m_normalTextColor);
}

void QZOLineEdit::focusOutEvent(QFocusEvent* event)
{
    QLineEdit::focusOutEvent(event);
    if (!m_swap || !text().isEmpty())
        return;
    QLineEdit::setPlaceholderText(m_placeholder);
    setTextColorAll(m_placeholderColor);
}

void QZOLineEdit::paintEvent(QPaintEvent* event)
{
    // The background goes under Qt's text and cursor.
    QZOBaseRectImageDraw::paintEvent();
    QLineEdit::paintEvent(event);
}

QZOTextEdit::QZOTextEdit(QWidget* parent) : QWidget(parent), QZOBaseRectImageDraw(this), m_edit(new QTextEdit(this))
{
    setAcceptDrops(false);
    m_edit->setAcceptDrops(false);
    m_edit->setAttribute(Qt::WA_MacShowFocusRect, false);
    connect(m_edit, &QTextEdit::textChanged, this, &QZOTextEdit::textEditChange);
}

bool QZOTextEdit::setBackgroundImage(const QString& path)
{
    return backgroundTaken(QZOBaseRectImageDraw::setBackgroundImage(path));
}

bool QZOTextEdit::setBackgroundImage(const QImage& image)
{
    return backgroundTaken(QZOBaseRectImageDraw::setBackgroundImage(image));
}

bool QZOTextEdit::backgroundTaken(bool taken)
{
    if (taken)
        m_edit->setStyleSheet(QStringLiteral("QTextEdit {background-color:transparent;border:none}"));
    return taken;
}

void QZOTextEdit::setEditMargins(int left, int top, int right, int bottom)
{
    setEditMargins(QMargins(left, top, right, bottom));
}

void QZOTextEdit::setEditMargins(const QMargins& margins)
{
    m_editMargins = margins;
    m_edit->setGeometry(QRect(QPoint(margins.left(), margins.top()),
                              QPoint(width() - 1 - margins.right(), height() - 1 - margins.bottom())));
    update();
}

void QZOTextEdit::textEditChange()
{
    emit textChanged(m_edit->toPlainText());
}

void QZOTextEdit::paintEvent(QPaintEvent*)
{
    QZOBaseRectImageDraw::paintEvent();
}

void QZOTextEdit::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    setEditMargins(m_editMargins);
}
