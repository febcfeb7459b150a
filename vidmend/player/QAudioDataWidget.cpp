#include "QAudioDataWidget.h"

#include <QImage>

namespace {

// The level display numbers its modes 0 none, 1 blocks, 2 line.
constexpr int kLevelBlocks = 1;
constexpr int kLevelLine = 2;

}  // namespace

QAudioDataWidget::QAudioDataWidget(QWidget* parent, const ZO_MEDIA_COM::AudioDataAttribute* attribute)
    : QBaseAudioDataWidget(parent)
{
    ZO_MEDIA_COM::AudioDataAttribute look;
    if (attribute)
        look = *attribute;
    else
        look.drawMode = Blocks;
    setAudioDataAttribute(look);
}

void QAudioDataWidget::setAudioLogo(const QString& path)
{
    QImage logo(path);
    if (!logo.isNull())
        logo.setDevicePixelRatio(2.0);
    QBaseAudioDataWidget::setAudioLogo(logo);
}

void QAudioDataWidget::setAudioDataAttribute(const ZO_MEDIA_COM::AudioDataAttribute& attribute)
{
    ZO_MEDIA_COM::AudioDataAttribute look = attribute;
    look.drawMode = attribute.drawMode == Line ? kLevelLine : kLevelBlocks;
    QBaseAudioDataWidget::setAudioDataAttribute(look);
}

ZO_MEDIA_COM::AudioDataAttribute QAudioDataWidget::audioDataAttribute() const
{
    ZO_MEDIA_COM::AudioDataAttribute look = QBaseAudioDataWidget::audioDataAttribute();
    look.drawMode = look.drawMode == kLevelLine ? Line : Blocks;
    return look;
}
