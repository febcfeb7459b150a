// Static image services over the media layer: a still picture of a media
// file or stream (its cover picture, or a frame from a third of the way in),
// and the layer's global set-up.
#ifndef VIDMEND_QZOMEDIAINTERFACE_H
#define VIDMEND_QZOMEDIAINTERFACE_H

#include <QImage>
#include <QString>

struct MediaDetail;

struct zoMediaGlobalParam {
    QString path;  // the folder for the media layer's temporary files
};

class QZOMediaInterface {
public:
    // The caller owns the image; null when there is none. flag true skips
    // the still-image containers' own thumbnails.
    static QImage* getMediaImage(const char* path, bool flag, int width, int height);
    static QImage* getStreamImage(void* stream, bool flag, int width, int height);
    static int setMediaGlobalFunction(zoMediaGlobalParam* param);

private:
    static QImage* stillImage(MediaDetail* detail, bool flag, int width, int height);
    static QImage* frameImage(MediaDetail* detail, int width, int height);
};

#endif
