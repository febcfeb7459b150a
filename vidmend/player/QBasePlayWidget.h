// The player of the preview window: one player of the media layer, opened
// on a keyed file stream, driven by a play-control bar; its frames go to
// the video surface, its sound levels to the level display.
#ifndef VIDMEND_QBASEPLAYWIDGET_H
#define VIDMEND_QBASEPLAYWIDGET_H

#include <QBasicTimer>
#include <QMargins>
#include <QPointer>
#include <QString>

#include "MediaPlayer.h"
#include "QBaseAudioDataWidget.h"
#include "QBaseDrawWidget.h"
#include "QBaseVideoWindow.h"

class QBasePlayControl;
class QTheadTimer;

// The frame callback the player widget registers with the media layer;
// user is the widget. Runs on the media layer's thread.
int VideoFrameLoopCall(void* user, MediaFrame* frame);

class QBasePlayWidget : public QZOWidget {
    Q_OBJECT
public:
    explicit QBasePlayWidget(QWidget* parent = nullptr);
    // Stops and releases the player before the surfaces it draws on go.
    ~QBasePlayWidget() override;

    virtual void setPlayControlWgt(QBasePlayControl* control);
    virtual void setPlayObject(void* object);
    virtual bool setPlayFile(const QString& path, unsigned int a, unsigned int b);
    virtual bool setPlayFileForKey(const QString& path, unsigned int key, unsigned int a, unsigned int b);
    virtual void* getPlayObject() { return m_player; }
    virtual bool isHaveVideoAudio(bool video);
    virtual void setVideoPreviewWgt(QBaseVideoWindow* window);
    virtual QBaseVideoWindow* VideoPreviewWgt() { return m_video; }
    virtual void setAudioDataWidget(QBaseAudioDataWidget* display);
    virtual QBaseAudioDataWidget* AudioDataWidget() { return m_level; }
    virtual void setAudioDataWidgetMargin(const QMargins& margins);
    // Runs on the media layer's thread: hands the frame's pixels to the
    // video surface. False for a layout it cannot show.
    virtual bool drawVideoFrame(void* frame);
    virtual bool isPlaying();
    // Microseconds; 1 without a player, so ratios never divide by 0.
    virtual unsigned long long playDuration();
    virtual void setPlayWgtMargin(const QMargins& margins);
    // Writes the current picture as a PNG; never over an existing file.
    virtual bool screenShots(const QString& path);

    void startUpdata(int ms);
    void stopUpdata();
    bool isActiveUpdata() const;
    void showAudioDataDlg(bool show);

    // For tests.
    QTheadTimer* screenTick() const { return m_screenTick; }
    bool isProgressTimerActive() const { return m_progressTimer.isActive(); }
    bool isLevelTimerActive() const { return m_levelTimer.isActive(); }
    quint32 volume() const { return m_volume; }

signals:
    void emitAudioData(unsigned char* data, int rate);

public slots:
    virtual void showTime(unsigned long long pos);
    virtual void ResizeVideoWindow();
    virtual void showPlayOrPause(bool play);
    virtual void playFinished();
    virtual void playObjChange(void* object);
    virtual void playUpdataTimer();
    virtual void updataScreenTimer();
    virtual void updataAudioDataTime();
    virtual void playPosChange(long long pos, long long duration);
    virtual void OnPlay();
    virtual void OnPause();
    virtual void OnStop();
    virtual void progressValueChange(double ratio);
    virtual void volumeValueChange(quint32 volume);
    virtual void frameStepUp();
    virtual void frameStepDown();
    virtual void BeginAsyncSeek();
    virtual void EndAsyncSeek();
    virtual void rendererVolumeValueChange(quint32 volume);
    virtual void setCtrlProgress(double percent);
    virtual void setCtrlVolume(quint32 volume);
    virtual void setCtrlRendererVolume(quint32 volume);

public:
    void resetControlLocation() override;
    virtual void InitPayerView();
    virtual void IsNoVideoSet();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    // What every successful open does once the player holds the media.
    void afterOpen();
    void releasePlayer();
    void stopTimers();

    QBasicTimer m_progressTimer;
    QBasicTimer m_levelTimer;
    QTheadTimer* m_screenTick = nullptr;
    MediaPlayer* m_player = nullptr;
    bool m_videoFromOutside = false;
    QPointer<QBaseVideoWindow> m_video;
    QBasePlayControl* m_control = nullptr;
    quint32 m_volume = 100;
    quint32 m_rendererVolume = 100;
    QMargins m_playMargins{10, 10, 10, 10};
    bool m_levelFromOutside = false;
    QPointer<QBaseAudioDataWidget> m_level;
    QMargins m_levelMargins{20, 30, 20, 30};
};

#endif
