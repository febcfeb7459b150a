#include "QBasePlayControl.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>

#include "QInitCtrlStyle.h"
#include "QZOBaseButton.h"
#include "QZOBaseProgress.h"
#include "QZOProjectPath.h"

namespace {

QString Image(const QString& name)
{
    return QZOProjectPath::getResourcePath(QString()) + name;
}

QString Clock(unsigned long long seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

constexpr double kMuted = 0.01;

}  // namespace

QPlayerCtrl::QPlayerCtrl(QWidget* parent) : QBasePlayControl(parent)
{
    InitCtrl();
}

QPlayerCtrl::~QPlayerCtrl() = default;

void QPlayerCtrl::InitCtrl()
{
    const struct {
        QZOBaseButton*& button;
        const char* image;
    } buttons[] = {{m_btnPlay, "/image/player/btn_play.png"},
                   {m_btnPause, "/image/player/btn_Pause.png"},
                   {m_btnPrevious, "/image/player/btn_previous.png"},
                   {m_btnNext, "/image/player/btn_next.png"}};
    for (const auto& b : buttons) {
        b.button = new QZOBaseButton(this);
        b.button->setButtonImage(Image(QString::fromLatin1(b.image)), true);
        b.button->setFocusPolicy(Qt::NoFocus);
    }
    m_btnPause->hide();

    m_btnVolume = new QZOBaseButton(this);
    m_btnVolume->setFocusPolicy(Qt::NoFocus);
    m_volumeImage = volumeImage(1.0);
    m_btnVolume->setButtonImage(Image(m_volumeImage), true);

    m_labTime = new QLabel(this);
    QInitCtrlStyle::InitLabel(m_labTime);
    m_labTime->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setPlayLabelTime(0, 0);

    m_sliderProgress = new QZOBaseSlider(this);
    m_sliderProgress->setProgressPolicy(QZOBaseProgress::HorizontalBar);
    m_sliderProgress->setBottomImage(Image(QStringLiteral("/image/player/slider_play_bottom.png")));
    m_sliderProgress->setTopImage(Image(QStringLiteral("/image/player/slider_play_top.png")));
    m_sliderProgress->setBtnImage(Image(QStringLiteral("/image/player/slider_play_btn.png")));
    m_sliderProgress->setOffset(9, 0);
    m_sliderProgress->setFormat(QString());

    m_sliderVolume = new QZOBaseSlider(this);
    m_sliderVolume->setProgressPolicy(QZOBaseProgress::HorizontalBar);
    m_sliderVolume->setTopImage(Image(QStringLiteral("/image/player/slider_top.png")));
    m_sliderVolume->setBottomImage(Image(QStringLiteral("/image/player/slider_bottom.png")));
    m_sliderVolume->setBtnImage(Image(QStringLiteral("/image/player/slider_btn.png")));
    m_sliderVolume->setOffset(9, 0);
    m_sliderVolume->setFormat(QString());
    m_sliderVolume->setValue(50.0);

    connect(m_btnPlay, &QPushButton::clicked, this, &QBasePlayControl::emitPlay);
    connect(m_btnPause, &QPushButton::clicked, this, &QBasePlayControl::emitPause);
    connect(m_btnVolume, &QPushButton::clicked, this, &QPlayerCtrl::changeVolumn);
    connect(m_sliderProgress, &QZOBaseSlider::sendProgressValue, this, &QBasePlayControl::emitProgressChange);
    connect(m_sliderProgress, &QZOBaseSlider::sendPressEvent, this, &QPlayerCtrl::pressSliderPlay);
    connect(m_sliderProgress, &QZOBaseSlider::sendReleseEvent, this, &QPlayerCtrl::releaseSliderPlay);
    connect(m_sliderVolume, &QZOBaseSlider::sendProgressValue, this, &QPlayerCtrl::changeBtnVolumn);
}

QString QPlayerCtrl::timeText(unsigned long long playTime, unsigned long long duration)
{
    const unsigned long long p = duration != 0 ? playTime / 1000000 : 0;
    return QStringLiteral("%1 / %2").arg(Clock(p), Clock(duration / 1000000));
}

QString QPlayerCtrl::volumeImage(double ratio)
{
    if (ratio <= kMuted)
        return QStringLiteral("/image/player/btn_volume_null.png");
    if (ratio <= 0.5)
        return QStringLiteral("/image/player/btn_volume_little.png");
    if (ratio < 1.0)
        return QStringLiteral("/image/player/btn_volume_big.png");
    return QStringLiteral("/image/player/btn_volume_full.png");
}

void QPlayerCtrl::showPlayOrPause(bool bPlay)
{
    m_btnPlay->setVisible(!bPlay);
    m_btnPause->setVisible(bPlay);
}

void QPlayerCtrl::setPlayProSlider(double value)
{
    m_sliderProgress->setValue(value);
}

void QPlayerCtrl::setPlayLabelTime(unsigned long long playTime, unsigned long long duration)
{
    m_labTime->setText(timeText(playTime, duration));
    m_labTime->adjustSize();
}

void QPlayerCtrl::setPlayVolumeSlider(unsigned int value)
{
    m_sliderVolume->setValue(double(value));
}

void QPlayerCtrl::changeVolumn()
{
    // A mute toggle: silent goes to full, anything else to silent.
    m_sliderVolume->setValue(m_sliderVolume->value() <= kMuted ? 100.0 : 0.0);
    const double range = m_sliderVolume->maximum() - m_sliderVolume->minimum();
    emit m_sliderVolume->sendProgressValue(range > 0 ? m_sliderVolume->value() / range : 0.0);
}

void QPlayerCtrl::changeBtnVolumn(double volumn)
{
    m_volumeImage = volumeImage(volumn);
    m_btnVolume->setButtonImage(Image(m_volumeImage), true);
    m_btnVolume->update();
    // Rounded: a ratio such as 0.29 is 28.999... in binary.
    emit emitVolumeChange(quint32(qBound(0, qRound(volumn * 100.0), 100)));
}

void QPlayerCtrl::pressSliderPlay(QMouseEvent*)
{
    emit emitBeginSeekAsync();
}

void QPlayerCtrl::releaseSliderPlay(QMouseEvent*)
{
    emit emitEndSeekAsync();
}

void QPlayerCtrl::paintEvent(QPaintEvent* event)
{
    QBasePlayControl::paintEvent(event);
    QPainter painter(this);
    painter.fillRect(rect(), QColor(255, 255, 255));
}

void QPlayerCtrl::resizeEvent(QResizeEvent* event)
{
    QBasePlayControl::resizeEvent(event);
    const int W = width(), H = height();
    const int bh = m_sliderProgress->getButton() ? m_sliderProgress->getButton()->height() : 10;
    m_sliderProgress->setGeometry(11, 12 - bh / 2, W - 22, bh);
    const QRect slider = m_sliderProgress->geometry();
    const int centre = slider.bottom() - slider.height() / 2;
    m_labTime->move(20, centre + 12);

    const int vw = m_btnVolume->width(), vh = m_btnVolume->height();
    m_btnVolume->move(slider.right() - 76 - vw + 1, m_labTime->y());
    const int vbh = m_sliderVolume->getButton() ? m_sliderVolume->getButton()->height() : 10;
    m_sliderVolume->setGeometry(m_btnVolume->geometry().right() + 1, m_btnVolume->y() + (vh - vbh) / 2, 74, vbh);

    const int m = (H + centre) / 2;
    m_btnPlay->move((slider.left() + slider.right()) / 2 - m_btnPlay->width() / 2, m - m_btnPlay->height() / 2);
    m_btnPause->move(m_btnPlay->pos());
    m_btnPrevious->move(m_btnPlay->x() - 33 - m_btnPrevious->width() + 1, m - m_btnPrevious->height() / 2);
    m_btnNext->move(m_btnPlay->geometry().right() + 32, m - m_btnNext->height() / 2);
}
