#include "QZOBaseBoxDraw.h"

#include <cmath>

#include "QBaseImageDraw.h"

#include <QAbstractButton>
#include <QFile>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace {

constexpr qreal kRatio = 2.0;
constexpr int kTextGap = 5;

}  // namespace

QZOBaseBoxDraw::QZOBaseBoxDraw(QAbstractButton* button, enumBoxType type) : m_button(button), m_type(type) {}

QZOBaseBoxDraw::~QZOBaseBoxDraw()
{
    clearImages();
}

void QZOBaseBoxDraw::clearImages()
{
    if (m_ownsImages) {
        delete m_checked;
        delete m_unchecked;
        delete m_partial;
    }
    m_checked = m_unchecked = m_partial = nullptr;
    m_ownsImages = false;
}

void QZOBaseBoxDraw::setCheckImage(const QString& checked, const QString& unchecked, const QString& partial, bool,
                                   bool twoFrames)
{
    if (!QFile::exists(checked))
        return;
    QImage checkedImage(checked);
    QImage uncheckedImage(unchecked);
    QImage partialImage;
    if (!partial.isEmpty())
        partialImage.load(partial);
    if (checkedImage.isNull() || uncheckedImage.isNull())
        return;
    setCheckImage(&checkedImage, &uncheckedImage, partialImage.isNull() ? nullptr : &partialImage, false, twoFrames,
                  true);
}

void QZOBaseBoxDraw::setCheckImage(QImage* checked, QImage* unchecked, QImage* partial, bool, bool twoFrames,
                                   bool copy)
{
    if (!m_button || !checked || !unchecked)
        return;
    clearImages();
    if (copy) {
        m_checked = new QImage(*checked);
        m_unchecked = new QImage(*unchecked);
        m_partial = partial ? new QImage(*partial) : nullptr;
    } else {
        m_checked = checked;
        m_unchecked = unchecked;
        m_partial = partial;
    }
    m_ownsImages = copy;
    m_twoFrames = twoFrames;
    for (QImage* image : {m_checked, m_unchecked, m_partial})
        if (image)
            image->setDevicePixelRatio(kRatio);

    const int width = m_checked->width() / (twoFrames ? 2 : 1) / 2;
    const int height = m_checked->height() / 2;
    const int y = m_checkRect.y();
    m_checkRect = QRect(QPoint(0, y), QPoint(width - 1, y + height - 1));
    if (m_button->height() < height)
        m_button->resize(m_button->width(), height);
    m_textRect.setX(width + kTextGap);
    m_textRect.setWidth(0);
    m_button->repaint();
}

bool QZOBaseBoxDraw::setBtnIcon(const QString& path)
{
    if (QFile::exists(path)) {
        m_icon = std::make_unique<QImage>(path);
        m_icon->setDevicePixelRatio(kRatio);
    }
    return false;
}

void QZOBaseBoxDraw::adjustSize()
{
    if (!m_button)
        return;
    const QFontMetrics metrics(m_button->font());
    const QString text = m_button->text();
    // The text's exact width, rounded up: the drawing elides a text wider
    // than its place by a fraction of a pixel.
    int width = m_checkRect.width() + int(std::ceil(QFontMetricsF(m_button->font()).horizontalAdvance(text)));
    if (!text.isEmpty())
        width += kTextGap;
    const int height = std::max(m_checkRect.height(), metrics.height());
    m_button->resize(width, height);
    m_textRect.setWidth(0);
}

void QZOBaseBoxDraw::paintBox()
{
    QPainter painter(m_button);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    DrawCheckImage(painter);
    DrawIconImage(painter);
    DrawCheckText(painter);
}

void QZOBaseBoxDraw::DrawCheckImage(QPainter& painter)
{
    Qt::CheckState state = m_button->isChecked() ? Qt::Checked : Qt::Unchecked;
    if (m_type == CheckBox)
        state = static_cast<QCheckBox*>(m_button)->checkState();
    // Without a partial image a partly checked box shows as unchecked: it
    // must not claim that everything is checked.
    const QImage* image = m_unchecked;
    if (state == Qt::Checked)
        image = m_checked;
    else if (state == Qt::PartiallyChecked && m_partial)
        image = m_partial;
    if (!image || image->isNull())
        return;

    const int frameWidth = image->width() / (m_twoFrames ? 2 : 1);
    const bool disabledFrame = m_twoFrames && !m_button->isEnabled();
    const QRect source(disabledFrame ? frameWidth : 0, 0, frameWidth, image->height());
    if (m_bgFill) {
        QImage frame = image->copy(source);
        frame.setDevicePixelRatio(kRatio);
        QBaseImageDraw::drawBtnImageBg(painter, m_button->rect(), frame, true);
        return;
    }
    QRect target = m_checkRect;
    if (target.y() < 1)
        target.moveTop((m_button->height() - target.height()) / 2);
    painter.drawImage(QRectF(target), *image, QRectF(source));
}

void QZOBaseBoxDraw::DrawIconImage(QPainter& painter)
{
    if (!m_icon || m_icon->isNull())
        return;
    QRect target = m_iconRect;
    const QSize logical = m_icon->size() / m_icon->devicePixelRatio();
    if (target.width() == 0)
        target.setWidth(logical.width());
    if (target.height() == 0)
        target.setHeight(logical.height());
    painter.drawImage(QRectF(target), *m_icon, QRectF(m_icon->rect()));
}

void QZOBaseBoxDraw::DrawCheckText(QPainter& painter)
{
    const QString text = m_button->text();
    if (text.isEmpty())
        return;
    const QFont saved = painter.font();
    painter.setFont(m_button->font());
    painter.setPen(m_button->palette().color(QPalette::WindowText));
    QRect target = m_textRect;
    if (target.width() == 0)
        target.setRight(m_button->width() - 1);
    if (target.height() == 0)
        target.setBottom(m_button->height() - 1);
    const QString elided = QFontMetrics(m_button->font()).elidedText(text, Qt::ElideRight, target.width());
    painter.drawText(target, m_alignment, elided);
    painter.setFont(saved);
}

// ---- check box ----

QZOCheckBox::QZOCheckBox(QWidget* parent) : QCheckBox(parent), QZOBaseBoxDraw(this, CheckBox) {}

QZOCheckBox::QZOCheckBox(const QString& text, QWidget* parent)
    : QCheckBox(text, parent), QZOBaseBoxDraw(this, CheckBox)
{
}

void QZOCheckBox::setCheckImage(const QString& checked, const QString& unchecked, const QString& partial,
                                bool twoFrames)
{
    QZOBaseBoxDraw::setCheckImage(checked, unchecked, partial, false, twoFrames);
}

void QZOCheckBox::setCheckImage(QImage* checked, QImage* unchecked, QImage* partial, bool twoFrames, bool copy)
{
    QZOBaseBoxDraw::setCheckImage(checked, unchecked, partial, false, twoFrames, copy);
}

void QZOCheckBox::adjustSize()
{
    if (isCustomDraw())
        QZOBaseBoxDraw::adjustSize();
    else
        QCheckBox::adjustSize();
}

void QZOCheckBox::paintEvent(QPaintEvent* event)
{
    if (isCustomDraw())
        paintBox();
    else
        QCheckBox::paintEvent(event);
}

void QZOCheckBox::mousePressEvent(QMouseEvent* event)
{
    QAbstractButton::mousePressEvent(event);
}

bool QZOCheckBox::hitButton(const QPoint&) const
{
    return true;
}

// ---- radio button ----

QZORadioButton::QZORadioButton(QWidget* parent)
    : QRadioButton(parent), QZOBaseBoxDraw(this, RadioButton), QZOBaseButtonDraw(this)
{
}

QZORadioButton::QZORadioButton(const QString& text, QWidget* parent)
    : QRadioButton(text, parent), QZOBaseBoxDraw(this, RadioButton), QZOBaseButtonDraw(this)
{
}

void QZORadioButton::setCheckImage(const QString& checked, const QString& unchecked, bool buttonMode,
                                   bool twoFrames)
{
    m_buttonMode = buttonMode;
    if (buttonMode)
        QZOBaseButtonDraw::setButtonImage(checked, true);
    else
        QZOBaseBoxDraw::setCheckImage(checked, unchecked, QString(), false, twoFrames);
}

bool QZORadioButton::setBtnIcon(const QString& path)
{
    return m_buttonMode ? QZOBaseButtonDraw::setBtnIcon(path) : QZOBaseBoxDraw::setBtnIcon(path);
}

void QZORadioButton::setIconRect(const QRect& rect)
{
    if (m_buttonMode)
        QZOBaseButtonDraw::setIconRect(rect);
    else
        QZOBaseBoxDraw::setIconRect(rect);
}

int QZORadioButton::alignment() const
{
    return m_buttonMode ? QZOBaseButtonDraw::alignment() : QZOBaseBoxDraw::alignment();
}

void QZORadioButton::setAlignment(int alignment)
{
    if (m_buttonMode)
        QZOBaseButtonDraw::setAlignment(alignment);
    else
        QZOBaseBoxDraw::setAlignment(alignment);
}

void QZORadioButton::setTextRect(const QRect& rect)
{
    if (m_buttonMode)
        QZOBaseButtonDraw::setTextRect(rect);
    else
        QZOBaseBoxDraw::setTextRect(rect);
}

void QZORadioButton::adjustSize()
{
    if (m_buttonMode)
        return;
    if (QZOBaseBoxDraw::isCustomDraw())
        QZOBaseBoxDraw::adjustSize();
    else
        QRadioButton::adjustSize();
}

void QZORadioButton::toggle()
{
    const bool exclusive = autoExclusive();
    if (isChecked())
        setAutoExclusive(false);
    setChecked(!isChecked());
    setAutoExclusive(exclusive);
}

void QZORadioButton::nextCheckState()
{
    if (!m_buttonMode) {
        QRadioButton::nextCheckState();
        return;
    }
    // A mouse click was already toggled on its press; keys and click() toggle here.
    if (m_toggledOnPress)
        m_toggledOnPress = false;
    else
        toggle();
}

bool QZORadioButton::hitButton(const QPoint& pos) const
{
    return m_buttonMode ? rect().contains(pos) : QRadioButton::hitButton(pos);
}

void QZORadioButton::mousePressEvent(QMouseEvent* event)
{
    if (m_buttonMode && event->button() == Qt::LeftButton) {
        drawMousePress(event);
        toggle();
        m_toggledOnPress = true;
    }
    QAbstractButton::mousePressEvent(event);
}

void QZORadioButton::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_buttonMode)
        drawMouseRelease(event);
    QAbstractButton::mouseReleaseEvent(event);
    // A release outside the button clicks nothing; the next click starts afresh.
    if (event->button() == Qt::LeftButton)
        m_toggledOnPress = false;
}

void QZORadioButton::mouseMoveEvent(QMouseEvent* event)
{
    QRadioButton::mouseMoveEvent(event);
}

void QZORadioButton::enterEvent(QEvent* event)
{
    if (m_buttonMode)
        drawEnter();
    QRadioButton::enterEvent(event);
}

void QZORadioButton::leaveEvent(QEvent* event)
{
    if (m_buttonMode)
        drawLeave();
    QRadioButton::leaveEvent(event);
}

void QZORadioButton::changeEvent(QEvent* event)
{
    if (m_buttonMode && event->type() == QEvent::EnabledChange)
        drawEnabledChange();
    QRadioButton::changeEvent(event);
    update();
}

void QZORadioButton::focusInEvent(QFocusEvent* event)
{
    QZOBaseButtonDraw::focusInEvent(event);
    QRadioButton::focusInEvent(event);
}

void QZORadioButton::focusOutEvent(QFocusEvent* event)
{
    QZOBaseButtonDraw::focusOutEvent(event);
    QRadioButton::focusOutEvent(event);
}

void QZORadioButton::paintEvent(QPaintEvent* event)
{
    if (m_buttonMode && QZOBaseButtonDraw::isCustomDraw()) {
        QPainter painter(this);
        paintAll(painter);
    } else if (!m_buttonMode && QZOBaseBoxDraw::isCustomDraw()) {
        paintBox();
    } else {
        QRadioButton::paintEvent(event);
    }
}
