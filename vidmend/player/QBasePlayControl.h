// The play-control bars: the abstract bar whose signals the player widget
// follows and whose slots show the player's state, and the preview
// window's bar with play, pause, previous, next and volume buttons, a time
// label, a progress slider and a volume slider.
#ifndef VIDMEND_QBASEPLAYCONTROL_H
#define VIDMEND_QBASEPLAYCONTROL_H

#include <QString>
#include <QWidget>

class QLabel;
class QMouseEvent;
class QZOBaseButton;
class QZOBaseSlider;

class QBasePlayControl : public QWidget {
    Q_OBJECT
public:
    explicit QBasePlayControl(QWidget* parent = nullptr) : QWidget(parent) {}

signals:
    void emitPlay();
    void emitPause();
    void emitStop();
    void emitProgressChange(double value);
    void emitVolumeChange(quint32 value);
    void emitFullScreen();
    void emitExitFullScreen();
    void emitFrameStepUp();
    void emitFrameStepDown();
    void emitRendererVolumeChange(quint32 value);
    void emitBeginSeekAsync();
    void emitEndSeekAsync();

public slots:
    virtual void showPlayOrPause(bool bPlay) = 0;
    // The position in percent, 0 to 100.
    virtual void setPlayProSlider(double value) = 0;
    virtual void setPlayLabelTime(unsigned long long playTime, unsigned long long duration) = 0;
    virtual void setPlayVolumeSlider(unsigned int value) = 0;
    virtual void showFullScreen(bool bFull) = 0;
    virtual void setPlayRendererVolumeSlider(unsigned int) {}
    virtual void playFinished() { emit emitStop(); }
};

class QPlayerCtrl : public QBasePlayControl {
    Q_OBJECT
public:
    explicit QPlayerCtrl(QWidget* parent = nullptr);
    ~QPlayerCtrl() override;

    void StartPlay() { emit emitPlay(); }
    void StopPlay() { emit emitPause(); }

    // "hh:mm:ss / hh:mm:ss" for a position and a duration in microseconds.
    static QString timeText(unsigned long long playTime, unsigned long long duration);
    // The volume button's image for a volume ratio of 0 to 1.
    static QString volumeImage(double ratio);

    QZOBaseButton* previousButton() const { return m_btnPrevious; }
    QZOBaseButton* nextButton() const { return m_btnNext; }
    QZOBaseButton* playButton() const { return m_btnPlay; }
    QZOBaseButton* pauseButton() const { return m_btnPause; }
    QZOBaseButton* volumeButton() const { return m_btnVolume; }
    QLabel* timeLabel() const { return m_labTime; }
    QZOBaseSlider* progressSlider() const { return m_sliderProgress; }
    QZOBaseSlider* volumeSlider() const { return m_sliderVolume; }
    QString volumeImagePath() const { return m_volumeImage; }

public slots:
    void showPlayOrPause(bool bPlay) override;
    void setPlayProSlider(double value) override;
    void setPlayLabelTime(unsigned long long playTime, unsigned long long duration) override;
    void setPlayVolumeSlider(unsigned int value) override;
    void showFullScreen(bool) override {}
    void changeVolumn();
    void changeBtnVolumn(double volumn);
    void pressSliderPlay(QMouseEvent*);
    void releaseSliderPlay(QMouseEvent*);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void InitCtrl();

    QZOBaseButton* m_btnPrevious = nullptr;
    QZOBaseButton* m_btnNext = nullptr;
    QZOBaseButton* m_btnPlay = nullptr;
    QZOBaseButton* m_btnPause = nullptr;
    QZOBaseButton* m_btnVolume = nullptr;
    QLabel* m_labTime = nullptr;
    QZOBaseSlider* m_sliderProgress = nullptr;
    QZOBaseSlider* m_sliderVolume = nullptr;
    QString m_volumeImage;
};

#endif
