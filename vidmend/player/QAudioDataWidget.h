// The older form of the sound level display: it takes its drawing
// attributes when it is made, loads its logo from a file, and numbers its
// drawing modes 0 blocks and 1 line (there is no mode without bars). The
// reduction of samples to levels and the drawing are the level display's
// own; only the numbering and the logo's form differ.
#ifndef VIDMEND_QAUDIODATAWIDGET_H
#define VIDMEND_QAUDIODATAWIDGET_H

#include "QBaseAudioDataWidget.h"

#include <QString>

class QAudioDataWidget : public QBaseAudioDataWidget {
    Q_OBJECT
public:
    enum DrawMode { Blocks = 0, Line = 1 };

    // attribute: the look, with drawMode in this widget's numbering; null
    // keeps the defaults (blocks one pixel wide and high).
    explicit QAudioDataWidget(QWidget* parent = nullptr, const ZO_MEDIA_COM::AudioDataAttribute* attribute = nullptr);

    // The logo from an image file, drawn at device pixel ratio 2.
    void setAudioLogo(const QString& path);
    // drawMode in this widget's numbering: 1 is a line (no spacings, and a
    // block whose samples all lie near the first is silence), anything
    // else blocks.
    void setAudioDataAttribute(const ZO_MEDIA_COM::AudioDataAttribute& attribute);
    ZO_MEDIA_COM::AudioDataAttribute audioDataAttribute() const;
};

#endif
