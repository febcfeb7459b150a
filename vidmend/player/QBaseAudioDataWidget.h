// The sound level display that stands in for the picture while an
// audio-only file plays: the latest block of samples reduced to one level
// per bar, drawn as stacked blocks or as a line, with optional falling peak
// markers, over a logo.
#ifndef VIDMEND_QBASEAUDIODATAWIDGET_H
#define VIDMEND_QBASEAUDIODATAWIDGET_H

#include <QColor>
#include <QImage>
#include <QRect>
#include <QElapsedTimer>
#include <QWidget>

#include <cstdint>
#include <vector>

class QTimer;

namespace ZO_MEDIA_COM {

struct AudioDataAttribute {
    int barWidth = 1;
    int unitHeight = 1;
    int barSpacing = 0;
    int unitSpacing = 0;
    int showPeak = 0;
    int peakFall = 0;
    double cornerRadius = 0.0;
    QColor barColor{255, 255, 255};
    QColor peakColor{255, 255, 255};
    // 0 no bars, 1 blocks, 2 line.
    int drawMode = 0;
};

// Reduces count samples to barCount levels of 0..levelCount (the mean of
// each bar's share scaled from 0..65535); true when the block is silent.
// With silenceCheck a block is silent when every sample lies within 10 of
// the first; without it, when every bar's mean is 0. No samples at all is
// silence: every level 0.
bool TransData(const unsigned short* samples, int count, unsigned int* levels, int barCount, int levelCount,
               bool silenceCheck);

}  // namespace ZO_MEDIA_COM

class QBaseAudioDataWidget : public QWidget {
    Q_OBJECT
public:
    explicit QBaseAudioDataWidget(QWidget* parent = nullptr);
    ~QBaseAudioDataWidget() override;

    void setAudioLogo(const QImage& logo);
    void setBackgroundColor(const QColor& color);
    void setAudioDataAttribute(const ZO_MEDIA_COM::AudioDataAttribute& attribute);
    ZO_MEDIA_COM::AudioDataAttribute audioDataAttribute() const { return m_attribute; }
    virtual void resizeChange();

    // For tests and the player.
    int barCount() const { return m_barCount; }
    int levelCount() const { return m_levelCount; }
    bool hasData() const { return m_hasData; }
    const std::vector<unsigned int>& levels() const { return m_levels; }
    const std::vector<int>& peakHeights() const { return m_peaks; }

public slots:
    // data: a block of the media layer (sample byte count at byte 40,
    // unsigned 16-bit samples from byte 44); null clears the display.
    // True when the block was silent.
    virtual bool setAudioData(unsigned char* data, int rate);
    void refreshTimer();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void updatePeaks();

    QRect m_drawRect{QPoint(0, 0), QPoint(399, 99)};
    bool m_hasData = false;
    std::vector<int> m_peaks;
    std::vector<int> m_fallCounters;
    int m_refreshInterval = 200;
    QElapsedTimer m_lastPaint;  // steady: a time of day would wrap at midnight
    QTimer* m_refreshTimer = nullptr;
    std::vector<unsigned int> m_levels;
    int m_barCount = 0;
    int m_levelCount = 0;
    QImage m_logo;
    QColor m_bgColor = Qt::transparent;
    ZO_MEDIA_COM::AudioDataAttribute m_attribute;
};

#endif
