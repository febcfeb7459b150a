#include "QBasePlayWidget.h"

#include <QFile>
#include <QImage>
#include <QTimerEvent>

#include <algorithm>
#include <cstring>

#include "QBaseAudioDataWidget.h"
#include "QBasePlayControl.h"
#include "QBaseVideoWindow.h"
#include "QTheadTimer.h"

namespace {

constexpr int kProgressMs = 100;
constexpr int kLevelMs = 50;
constexpr int kStillMs = 50;
constexpr uint64_t kSeekTolerance = 2000000;
// Where a sound block of the media layer keeps its sample rate.
constexpr int kRateOffset = 24;

}  // namespace

int VideoFrameLoopCall(void* user, MediaFrame* frame)
{
    return static_cast<QBasePlayWidget*>(user)->drawVideoFrame(frame) ? 1 : 0;
}

QBasePlayWidget::QBasePlayWidget(QWidget* parent) : QZOWidget(parent, ChildKind)
{
    setFocusPolicy(Qt::ClickFocus);
    m_video = new QBaseVideoWindow(this);
    m_video->setWindowFlags(Qt::FramelessWindowHint);
    m_video->show();
    m_screenTick = new QTheadTimer(this);
    connect(m_screenTick, &QTheadTimer::emitTimerUpdata, this, &QBasePlayWidget::updataScreenTimer);
    setAudioDataWidget(new QBaseAudioDataWidget(this));
    m_level->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_level->hide();
}

QBasePlayWidget::~QBasePlayWidget()
{
    delete m_screenTick;
    m_screenTick = nullptr;
    // The media layer's thread draws on the video surface until the player
    // is released, so the player goes first.
    if (m_player) {
        mediaStop(m_player);
        releasePlayer();
    }
    stopTimers();
    if (!m_levelFromOutside)
        delete m_level.data();
    if (!m_videoFromOutside)
        delete m_video.data();
}

void QBasePlayWidget::releasePlayer()
{
    mediaReleasePlayer(m_player);
    m_player = nullptr;
}

void QBasePlayWidget::stopTimers()
{
    m_progressTimer.stop();
    m_levelTimer.stop();
}

void QBasePlayWidget::setPlayControlWgt(QBasePlayControl* control)
{
    if (!control)
        return;
    m_control = control;
    connect(control, &QBasePlayControl::emitPlay, this, &QBasePlayWidget::OnPlay);
    connect(control, &QBasePlayControl::emitPause, this, &QBasePlayWidget::OnPause);
    connect(control, &QBasePlayControl::emitStop, this, &QBasePlayWidget::OnStop);
    connect(control, &QBasePlayControl::emitProgressChange, this, &QBasePlayWidget::progressValueChange);
    connect(control, &QBasePlayControl::emitVolumeChange, this, &QBasePlayWidget::volumeValueChange);
    connect(control, &QBasePlayControl::emitFrameStepUp, this, &QBasePlayWidget::frameStepUp);
    connect(control, &QBasePlayControl::emitFrameStepDown, this, &QBasePlayWidget::frameStepDown);
    connect(control, &QBasePlayControl::emitBeginSeekAsync, this, &QBasePlayWidget::BeginAsyncSeek);
    connect(control, &QBasePlayControl::emitEndSeekAsync, this, &QBasePlayWidget::EndAsyncSeek);
    connect(control, &QBasePlayControl::emitRendererVolumeChange, this, &QBasePlayWidget::rendererVolumeValueChange);
}

bool QBasePlayWidget::setPlayFile(const QString& path, unsigned int a, unsigned int b)
{
    return setPlayFileForKey(path, 0, a, b);
}

bool QBasePlayWidget::setPlayFileForKey(const QString& path, unsigned int key, unsigned int a, unsigned int b)
{
    OnStop();
    if (m_player)
        releasePlayer();
    MediaStream* stream = mediaOpenStream(path.toUtf8().constData(), MEDIA_STREAM_READ);
    if (!stream) {
        if (m_video)
            m_video->resetPlayView();
        return false;
    }
    mediaSetStreamKey(stream, key);
    m_player = mediaCreatePlayer(-1);
    if (!m_player || !mediaOpenPlayer(m_player, stream, a, b, 0, 0)) {
        // A player with nothing open is released at once, so no transport
        // call reaches it.
        if (m_player)
            releasePlayer();
        if (m_video)
            m_video->resetPlayView();
        mediaReleaseStream(stream);
        return false;
    }
    mediaReleaseStream(stream);
    afterOpen();
    return true;
}

void QBasePlayWidget::setPlayObject(void* object)
{
    if (!object)
        return;
    OnStop();
    if (m_player)
        releasePlayer();
    m_player = mediaWrapPlayer(object);
    if (m_player)
        afterOpen();
}

void QBasePlayWidget::playObjChange(void* object)
{
    setPlayObject(object);
}

void QBasePlayWidget::afterOpen()
{
    InitPayerView();
    mediaRedrawFrame(m_player);
    setCtrlVolume(m_volume);
    volumeValueChange(m_volume);
    ResizeVideoWindow();
    m_screenTick->startTimer(kStillMs);
    showTime(0);
    IsNoVideoSet();
}

bool QBasePlayWidget::isHaveVideoAudio(bool video)
{
    if (!m_player)
        return false;
    return (video ? mediaHasVideo(m_player, 1) : mediaHasAudio(m_player, 0)) != 0;
}

bool QBasePlayWidget::isPlaying()
{
    return m_player && mediaIsPlaying(m_player) != 0;
}

unsigned long long QBasePlayWidget::playDuration()
{
    return m_player ? mediaDuration(m_player) : 1;
}

void QBasePlayWidget::setVideoPreviewWgt(QBaseVideoWindow* window)
{
    // No frame may reach a surface while it is swapped.
    if (m_player)
        mediaSetFrameCallback(m_player, nullptr, nullptr);
    if (!m_videoFromOutside)
        delete m_video.data();
    m_videoFromOutside = true;
    m_video = window;
    if (m_video)
        m_video->setWindowFlags(Qt::FramelessWindowHint);
    InitPayerView();
}

void QBasePlayWidget::setAudioDataWidget(QBaseAudioDataWidget* display)
{
    if (display == m_level)
        return;
    if (m_level && !m_levelFromOutside)
        delete m_level.data();
    m_level = display;
    if (!m_level)
        return;
    m_level->setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(this, &QBasePlayWidget::emitAudioData, m_level.data(), &QBaseAudioDataWidget::setAudioData);
}

void QBasePlayWidget::setAudioDataWidgetMargin(const QMargins& margins)
{
    m_levelMargins = margins;
    resetControlLocation();
}

void QBasePlayWidget::setPlayWgtMargin(const QMargins& margins)
{
    m_playMargins = margins;
    resetControlLocation();
}

bool QBasePlayWidget::drawVideoFrame(void* frame)
{
    auto* f = static_cast<MediaFrame*>(frame);
    const int format = mediaFramePixelFormat(f);
    const int width = mediaFrameWidth(f);
    const int height = mediaFrameHeight(f);
    QBaseVideoWindow* video = m_video.data();
    if (format == MEDIA_PIXEL_YUV420P) {
        unsigned char* planes[3];
        int lineSizes[3];
        for (int p = 0; p < 3; ++p) {
            planes[p] = mediaFrameData(f, p);
            lineSizes[p] = mediaFrameLineSize(f, p);
        }
        if (video)
            video->showYUVImage(planes, width, height, lineSizes);
        return true;
    }
    if (format == MEDIA_PIXEL_BGRA) {
        if (video && width > 0 && height > 0 && mediaFrameLineSize(f, 0) > 0)
            video->showImage(mediaFrameData(f, 0), unsigned(width), unsigned(height),
                             unsigned(mediaFrameLineSize(f, 0)));
        return true;
    }
    return false;
}

bool QBasePlayWidget::screenShots(const QString& path)
{
    if (!m_player)
        return false;
    const int64_t dw = mediaDisplayWidth(m_player), dh = mediaDisplayHeight(m_player);
    int64_t w = 0, h = 0;
    if (dw > 0 && dh > 0) {
        // The stored picture scaled to the display's shape, rounded up to
        // even sides.
        w = mediaVideoWidth(m_player);
        h = mediaVideoHeight(m_player);
        if (h * dw <= w * dh)
            h = (w * dh / dw + 1) & ~int64_t(1);
        else
            w = (h * dw / dh + 1) & ~int64_t(1);
    }
    unsigned char* image = mediaGrabImage(m_player, int(w), int(h), 0);
    if (!image) {
        mediaReleaseImage(m_player, nullptr);
        return false;
    }
    const QImage picture = QImage::fromData(image, int(std::min<uint32_t>(mediaImageSize(image), INT32_MAX)));
    const bool ok = !QFile::exists(path) && !picture.isNull() && picture.save(path, "PNG", 100);
    mediaReleaseImage(m_player, image);
    return ok;
}

void QBasePlayWidget::startUpdata(int ms)
{
    m_screenTick->startTimer(ms);
}

void QBasePlayWidget::stopUpdata()
{
    m_screenTick->stopTimer();
}

bool QBasePlayWidget::isActiveUpdata() const
{
    return m_screenTick->isActive();
}

void QBasePlayWidget::showAudioDataDlg(bool show)
{
    if (!show && m_level)
        m_level->hide();
    if (show && m_video)
        m_video->hide();
}

void QBasePlayWidget::showTime(unsigned long long pos)
{
    if (m_control)
        m_control->setPlayLabelTime(pos, playDuration());
}

void QBasePlayWidget::ResizeVideoWindow()
{
    if (!m_player || !m_video)
        return;
    const int w1 = mediaDisplayWidth(m_player), h1 = mediaDisplayHeight(m_player);
    if (w1 && h1)
        m_video->setVideoSize(w1, h1);
    else
        m_video->setVideoSize(mediaVideoWidth(m_player), mediaVideoHeight(m_player));
}

void QBasePlayWidget::showPlayOrPause(bool play)
{
    if (m_control)
        m_control->showPlayOrPause(play);
}

void QBasePlayWidget::playFinished()
{
    if (m_control)
        m_control->playFinished();
}

void QBasePlayWidget::setCtrlProgress(double percent)
{
    if (m_control)
        m_control->setPlayProSlider(percent);
}

void QBasePlayWidget::setCtrlVolume(quint32 volume)
{
    if (m_control)
        m_control->setPlayVolumeSlider(volume);
}

void QBasePlayWidget::setCtrlRendererVolume(quint32 volume)
{
    if (m_control)
        m_control->setPlayRendererVolumeSlider(volume);
}

void QBasePlayWidget::playPosChange(long long pos, long long duration)
{
    const double d = duration != 0 ? double(duration) : 1.0;
    setCtrlProgress(double(pos) * 100.0 / d);
}

void QBasePlayWidget::playUpdataTimer()
{
    if (!m_player)
        return;
    const bool atEnd = mediaIsAtEnd(m_player) != 0;
    unsigned long long d = playDuration();
    if (d == 0)
        d = 1;
    const unsigned long long pos = mediaPosition(m_player);
    if (pos == 0) {
        if (atEnd)
            OnPause();
        return;
    }
    playPosChange((long long)pos, (long long)d);
    showTime(pos);
    if (m_video)
        m_video->update();
    if (atEnd) {
        OnPause();
        playFinished();
    }
}

void QBasePlayWidget::updataScreenTimer()
{
    if (m_player && (!m_video || m_video->isVisible()))
        mediaRedrawFrame(m_player);
}

void QBasePlayWidget::updataAudioDataTime()
{
    if (!m_player)
        return;
    unsigned char* block = mediaFetchAudioBlock(m_player, 1);
    if (block) {
        uint32_t rate = 0;
        std::memcpy(&rate, block + kRateOffset, sizeof rate);
        // The display reads the block within the emission (a direct
        // connection on this thread), before it is released.
        emit emitAudioData(block, int(rate >> 1));
    }
    mediaReleaseAudioBlock(m_player, block);
}

void QBasePlayWidget::OnPlay()
{
    showPlayOrPause(true);
    if (m_player)
        mediaPlay(m_player);
    if (m_screenTick->isActive())
        m_screenTick->stopTimer();
    if (m_level && !m_level->isHidden() && !m_levelTimer.isActive())
        m_levelTimer.start(kLevelMs, this);
    if (!m_progressTimer.isActive())
        m_progressTimer.start(kProgressMs, this);
}

void QBasePlayWidget::OnPause()
{
    showPlayOrPause(false);
    if (!m_player || mediaPause(m_player) == 0)
        return;
    if (!m_screenTick->isActive())
        m_screenTick->startTimer(kStillMs);
    stopTimers();
    emit emitAudioData(nullptr, 0);
}

void QBasePlayWidget::OnStop()
{
    showPlayOrPause(false);
    if (!m_player)
        return;
    mediaStop(m_player);
    if (!m_screenTick->isActive())
        m_screenTick->startTimer(kStillMs);
    stopTimers();
    showTime(0);
    setCtrlProgress(0.0);
    emit emitAudioData(nullptr, 0);
}

void QBasePlayWidget::progressValueChange(double ratio)
{
    if (!m_player)
        return;
    if (mediaIsAtEnd(m_player))
        mediaStop(m_player);
    const unsigned long long target =
        static_cast<unsigned long long>(double(playDuration()) * std::clamp(ratio, 0.0, 1.0));
    mediaSeek(m_player, target);
    showTime(target);
}

void QBasePlayWidget::volumeValueChange(quint32 volume)
{
    m_volume = volume;
    if (m_player)
        mediaSetVolume(m_player, volume);
}

void QBasePlayWidget::rendererVolumeValueChange(quint32 volume)
{
    m_rendererVolume = volume;
    if (m_player)
        mediaSetRendererVolume(m_player, volume);
}

void QBasePlayWidget::frameStepUp()
{
    if (!m_player)
        return;
    OnPause();
    mediaStepFrame(m_player, +1);
    playUpdataTimer();
}

void QBasePlayWidget::frameStepDown()
{
    if (!m_player)
        return;
    OnPause();
    mediaStepFrame(m_player, -1);
    playUpdataTimer();
}

void QBasePlayWidget::BeginAsyncSeek()
{
    if (m_player)
        mediaBeginAsyncSeek(m_player, kSeekTolerance);
}

void QBasePlayWidget::EndAsyncSeek()
{
    if (m_player)
        mediaEndAsyncSeek(m_player);
}

void QBasePlayWidget::resetControlLocation()
{
    const QRect r = rect();
    const auto inset = [&r](const QMargins& m) {
        return QRect(QPoint(m.left(), m.top()), QPoint(r.width() - 1 - m.right(), r.height() - 1 - m.bottom()));
    };
    if (m_video)
        m_video->setGeometry(inset(m_playMargins));
    if (m_level)
        m_level->setGeometry(inset(m_levelMargins));
    ResizeVideoWindow();
}

void QBasePlayWidget::InitPayerView()
{
    if (m_player)
        mediaSetFrameCallback(m_player, &VideoFrameLoopCall, this);
}

void QBasePlayWidget::IsNoVideoSet()
{
    if (isHaveVideoAudio(true)) {
        if (m_level)
            m_level->hide();
        if (m_video)
            m_video->show();
    } else if (isHaveVideoAudio(false)) {
        if (m_level)
            m_level->show();
        if (m_video)
            m_video->hide();
    }
}

void QBasePlayWidget::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == m_progressTimer.timerId())
        playUpdataTimer();
    else if (event->timerId() == m_levelTimer.timerId())
        updataAudioDataTime();
    else
        QZOWidget::timerEvent(event);
}
