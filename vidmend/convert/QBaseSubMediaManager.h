// Reference-counted lists of overlaid media (image watermarks, text
// watermarks, background audios) that hand their settings to a conversion
// context of the media layer.
#ifndef VIDMEND_QBASESUBMEDIAMANAGER_H
#define VIDMEND_QBASESUBMEDIAMANAGER_H

#include <QList>

#include "QRefCounted.h"
#include "ZOConvertSettings.h"

class QBaseSubMediaManager : public QRefCounted {
public:
    QBaseSubMediaManager() = default;
    QBaseSubMediaManager(const QBaseSubMediaManager&) = delete;
    QBaseSubMediaManager& operator=(const QBaseSubMediaManager&) = delete;
    virtual ~QBaseSubMediaManager();

    virtual void clearMedia();
    // A new record of the manager's kind, appended and owned; null here.
    virtual ZO_MEDIA_COM::QSubMediaSetting* addMedia();
    virtual ZO_MEDIA_COM::QSubMediaSetting* findMedia(int index);
    virtual int mediaCount();
    // Hands the setting's fields to the context (a MediaConvertContext*)
    // for the overlay or background audio it has selected.
    virtual void refreshMediaConfig(void* handle, ZO_MEDIA_COM::QSubMediaSetting* setting);
    // Takes ownership; a null setting is ignored.
    virtual void addSubMedia(ZO_MEDIA_COM::QSubMediaSetting* setting);

protected:
    void releaseSetting();

    QList<ZO_MEDIA_COM::QSubMediaSetting*> m_settings;
};

class QImageSubMediaManager : public QBaseSubMediaManager {
public:
    ZO_MEDIA_COM::QSubMediaSetting* addMedia() override;
    void refreshMediaConfig(void* handle, ZO_MEDIA_COM::QSubMediaSetting* setting) override;
    ZO_MEDIA_COM::QImageWatermarkSettings* imageWatermark(int index);
};

class QTextSubMediaManager : public QBaseSubMediaManager {
public:
    ZO_MEDIA_COM::QSubMediaSetting* addMedia() override;
    void refreshMediaConfig(void* handle, ZO_MEDIA_COM::QSubMediaSetting* setting) override;
    ZO_MEDIA_COM::QTextWatermarkSettings* textWatermark(int index);
};

class QAudioSubMediaManager : public QBaseSubMediaManager {
public:
    ZO_MEDIA_COM::QSubMediaSetting* addMedia() override;
    void refreshMediaConfig(void* handle, ZO_MEDIA_COM::QSubMediaSetting* setting) override;
    ZO_MEDIA_COM::QAudioBackgroundSettings* audioBackgroundWatermark(int index);
};

#endif
