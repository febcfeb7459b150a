#include "QBaseAudioDataWidget.h"

#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "QBaseImageDraw.h"

namespace {

// Where a block of the media layer keeps its sample byte count and samples.
constexpr int kByteCountOffset = 40;
constexpr int kSamplesOffset = 44;
// Blocks of faster sound are thinned to this many samples a second, so the
// bars move alike whatever the rate.
constexpr int kLevelRate = 16000;

}  // namespace

bool ZO_MEDIA_COM::TransData(const unsigned short* samples, int count, unsigned int* levels, int barCount,
                             int levelCount, bool silenceCheck)
{
    if (barCount < 1)
        return true;
    if (count <= 0 || !samples) {
        std::fill(levels, levels + barCount, 0u);
        return true;
    }
    bool silent = true;
    const int first = samples[0];
    for (int i = 0; i < barCount; ++i) {
        const int64_t start = int64_t(i) * count / barCount;
        const int64_t end = std::min<int64_t>(int64_t(i + 1) * count / barCount, count);
        uint64_t avg = 0;
        if (end > start) {
            uint64_t sum = 0;
            for (int64_t k = start; k < end; ++k) {
                sum += samples[k];
                if (silenceCheck && std::abs(int(samples[k]) - first) > 10)
                    silent = false;
            }
            avg = sum / uint64_t(end - start);
        } else {
            avg = samples[start];
            if (silenceCheck && std::abs(int(samples[start]) - first) > 10)
                silent = false;
        }
        if (!silenceCheck && avg > 0)
            silent = false;
        levels[i] = static_cast<unsigned int>(levelCount >= 1 ? (avg * uint64_t(levelCount)) >> 16 : avg);
    }
    return silent;
}

QBaseAudioDataWidget::QBaseAudioDataWidget(QWidget* parent) : QWidget(parent) {}

QBaseAudioDataWidget::~QBaseAudioDataWidget() = default;

void QBaseAudioDataWidget::setAudioLogo(const QImage& logo)
{
    m_logo = logo;
    update();
}

void QBaseAudioDataWidget::setBackgroundColor(const QColor& color)
{
    if (color.isValid())
        m_bgColor = color;
}

void QBaseAudioDataWidget::setAudioDataAttribute(const ZO_MEDIA_COM::AudioDataAttribute& attribute)
{
    m_attribute = attribute;
    // A line has no gaps between its points.
    if (m_attribute.drawMode == 2)
        m_attribute.barSpacing = m_attribute.unitSpacing = 0;
}

void QBaseAudioDataWidget::resizeChange()
{
    m_drawRect = QRect(QPoint(0, 0), QPoint(width() - 1, height() - 1));
    const int barStep = m_attribute.barWidth + m_attribute.barSpacing;
    const int unitStep = m_attribute.unitHeight + m_attribute.unitSpacing;
    // Sizes that would divide by nothing give no bars rather than a fault.
    m_barCount = barStep > 0 ? std::max(0, (width() + m_attribute.barSpacing) / barStep) : 0;
    m_levelCount = unitStep > 0 ? std::max(0, (height() + m_attribute.unitSpacing) / unitStep) : 0;
    m_levels.assign(size_t(m_barCount), 0u);
    m_peaks.clear();
    m_fallCounters.clear();
    if (m_attribute.showPeak) {
        m_peaks.assign(size_t(m_barCount), 0);
        m_fallCounters.assign(size_t(m_barCount), 0);
    }
}

bool QBaseAudioDataWidget::setAudioData(unsigned char* data, int rate)
{
    if (!data) {
        m_hasData = false;
        std::fill(m_peaks.begin(), m_peaks.end(), 0);
        std::fill(m_fallCounters.begin(), m_fallCounters.end(), 0);
        update();
        return true;
    }
    uint32_t bytes = 0;
    std::memcpy(&bytes, data + kByteCountOffset, sizeof bytes);
    int64_t n = bytes / 2;
    if (rate >= kLevelRate)
        n = n * kLevelRate / rate;
    const auto* samples = reinterpret_cast<const unsigned short*>(data + kSamplesOffset);
    const bool silent = ZO_MEDIA_COM::TransData(samples, int(std::min<int64_t>(n, INT_MAX)), m_levels.data(),
                                                m_barCount, m_levelCount, m_attribute.drawMode == 2);
    updatePeaks();
    m_hasData = true;
    update();
    return silent;
}

void QBaseAudioDataWidget::updatePeaks()
{
    if (m_peaks.empty())
        return;
    for (int i = 0; i < m_barCount; ++i) {
        int c = m_peaks[i];
        if (c > 0 && m_attribute.peakFall) {
            // A marker falls one pixel, then faster and faster.
            ++m_fallCounters[i];
            c = c - ((m_fallCounters[i] * m_fallCounters[i]) >> 3) - 1;
            m_peaks[i] = c;
        }
        int t = int(m_levels[i]);
        if (t > 0)
            t = (m_attribute.unitHeight + m_attribute.unitSpacing) * t - m_attribute.unitSpacing;
        if (t > c) {
            m_peaks[i] = t;
            m_fallCounters[i] = 0;
        }
    }
}

void QBaseAudioDataWidget::refreshTimer()
{
    if (!m_lastPaint.isValid() || m_lastPaint.elapsed() > m_refreshInterval) {
        m_hasData = true;
        update();
    }
}

void QBaseAudioDataWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), m_bgColor);
    if (!m_logo.isNull()) {
        const double ratio = m_logo.devicePixelRatio();
        painter.drawImage(QPoint(int((width() - m_logo.width() / ratio) / 2), int((height() - m_logo.height() / ratio) / 2)),
                          m_logo);
    }
    if (m_attribute.drawMode == 0 || !m_hasData)
        return;
    const ZO_MEDIA_COM::AudioDataAttribute& a = m_attribute;
    const int bottom = m_drawRect.bottom();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath line;
    for (int i = 0; i < m_barCount; ++i) {
        const int x = (a.barWidth + a.barSpacing) * i;
        const int level = int(m_levels[i]);
        if (a.drawMode == 2) {
            const QPointF point(a.barWidth * i, bottom - a.unitHeight * level);
            if (i == 0)
                line.moveTo(point);
            else
                line.lineTo(point);
        } else if (a.drawMode == 1) {
            for (int k = 0; k < level; ++k) {
                const QRectF block(x, bottom - a.unitHeight - (a.unitSpacing + a.unitHeight) * k, a.barWidth,
                                   a.unitHeight);
                painter.fillPath(QBaseImageDraw::GetRoundedRectanglePath(block, a.cornerRadius), a.barColor);
            }
        }
        if (a.showPeak && !m_peaks.empty() && m_peaks[i] > 0)
            painter.fillRect(QRect(x, bottom - m_peaks[i] - 1, a.barWidth, 1), a.peakColor);
    }
    if (a.drawMode == 2)
        painter.strokePath(line, QPen(a.barColor, a.barWidth, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    m_hasData = false;
    if (m_refreshTimer) {
        if (!m_refreshTimer->isActive())
            m_refreshTimer->start(m_refreshInterval / 2);
        m_lastPaint.start();
    }
}

void QBaseAudioDataWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    resizeChange();
}

void QBaseAudioDataWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    resizeChange();
    repaint();
}

void QBaseAudioDataWidget::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
}
