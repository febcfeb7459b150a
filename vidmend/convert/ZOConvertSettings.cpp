#include "ZOConvertSettings.h"

#include <algorithm>

namespace ZO_MEDIA_COM {

QImageWatermarkSettings::QImageWatermarkSettings(int kind) : QSubMediaSetting(kind)
{
    reset();
}

void QImageWatermarkSettings::reset()
{
    imagePath.clear();
    imageName.clear();
    alpha = 255;
    scaleX = 100.0;
    scaleY = 100.0;
    boxWidth = 100;
    boxHeight = 100;
    zoom = 100;
    visible = true;
    alignment = 17;
    ratioX = 1.0;
    ratioY = 1.0;
    startTime = -1;
    endTime = -1;
    repeat = 1;
    x = 0.0;
    y = 0.0;
    width = 0.0;
    height = 0.0;
    blend = 0;
    sourceStream = 0;
    sourceImage = 0;
    turned = false;
    angle = 0;
}

QTextWatermarkSettings::QTextWatermarkSettings(int kind) : QSubMediaSetting(kind)
{
    reset();
}

void QTextWatermarkSettings::reset()
{
    text.clear();
    alpha = 255;
    scaleX = 100.0;
    scaleY = 100.0;
    lines = 1;
    effects = 0;
    fontName.clear();
    styleName.clear();
    fontSize = 18;
    alignment = 17;
    colour = 0xFFFFFFFFu;
    outlineColour = 0x80000000u;
    backColour = 0xFF000000u;
    x = 0.0;
    y = 0.0;
    startTime = 0;
    endTime = 0;
    angle = 0;
    outlineWidth = 0;
    shadowX = 0;
    shadowY = 0;
    shadowBlur = 0;
}

QAudioBackgroundSettings::QAudioBackgroundSettings(int kind) : QSubMediaSetting(kind)
{
    reset();
}

QAudioBackgroundSettings::QAudioBackgroundSettings(const QAudioBackgroundSettings& other) : QSubMediaSetting(other)
{
    reset();
    *this = other;
}

// Each copy owns its equaliser: a shared array would be freed twice.
QAudioBackgroundSettings& QAudioBackgroundSettings::operator=(const QAudioBackgroundSettings& other)
{
    if (this == &other)
        return *this;
    QSubMediaSetting::operator=(other);
    audioPath = other.audioPath;
    offset = other.offset;
    volume = other.volume;
    fade = other.fade;
    loop = other.loop;
    speed = other.speed;
    track = other.track;
    mix = other.mix;
    balance = other.balance;
    startTime = other.startTime;
    length = other.length;
    sourceStream = other.sourceStream;
    setEqInfo(other.m_eqCount, other.m_eqBands.get(), other.m_eqGains.get());
    return *this;
}

QAudioBackgroundSettings::~QAudioBackgroundSettings() = default;

void QAudioBackgroundSettings::reset()
{
    audioPath.clear();
    offset = 0;
    volume = 100;
    fade = 0;
    loop = 1;
    resetEq();
    speed = 100;
    track = -1;
    mix = 1;
    balance = 50;
    startTime = 0;
    length = 0;
    sourceStream = 0;
}

void QAudioBackgroundSettings::setEqInfo(unsigned int n, const double* bands, const double* gains)
{
    resetEq();
    if (n == 0 || !bands || !gains)
        return;
    m_eqBands = std::make_unique<double[]>(n);
    m_eqGains = std::make_unique<double[]>(n);
    std::copy_n(bands, n, m_eqBands.get());
    std::copy_n(gains, n, m_eqGains.get());
    m_eqCount = n;
}

void QAudioBackgroundSettings::resetEq()
{
    m_eqBands.reset();
    m_eqGains.reset();
    m_eqCount = 0;
}

}  // namespace ZO_MEDIA_COM
