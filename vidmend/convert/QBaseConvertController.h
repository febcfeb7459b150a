// One conversion job: all of its settings (QBaseConverterInfo) and the
// operations that write them into a conversion context of the media layer:
// output parameters, watermarks, chapters and, after the run, the tags.
#ifndef VIDMEND_QBASECONVERTCONTROLLER_H
#define VIDMEND_QBASECONVERTCONTROLLER_H

#include <QString>

#include "QBaseSubMediaManager.h"
#include "QRefCounted.h"
#include "ZOConvertSettings.h"

class QBaseConverterInfo {
public:
    QBaseConverterInfo() = default;
    // Copies every field; the three managers are shared, one reference more each.
    QBaseConverterInfo(const QBaseConverterInfo& other);
    QBaseConverterInfo& operator=(const QBaseConverterInfo& other);
    virtual ~QBaseConverterInfo();

    // Each releases the present manager and takes a reference on the new one.
    virtual void setImageWatarmarkManager(QImageSubMediaManager* manager);
    virtual void setTextWatarmarkManager(QTextSubMediaManager* manager);
    virtual void setAudioBgManager(QAudioSubMediaManager* manager);
    virtual QImageSubMediaManager* imageWatarmarkManager();
    virtual QTextSubMediaManager* textWatarmarkManager();
    virtual QAudioSubMediaManager* audioBgManager();

    QString inputPath;
    QString outputPath;
    QString outputFormat;       // a file extension such as "mp4"
    // Output parameters and watermarks are left as the media layer has
    // them (a stream copy) and chapter times are not rescaled.
    bool keep = false;
    bool innerSubtitle = false;
    qint64 fileSize = 0;
    int mediaType = 0;
    ZO_MEDIA_COM::QVideoEncParam videoParam;
    ZO_MEDIA_COM::QAudioEncParam audioParam;
    ZO_MEDIA_COM::QCropSettings cropSettings;
    ZO_MEDIA_COM::QAudioTagSetting audioTag;
    ZO_MEDIA_COM::QSubtitleValueInfo subtitleInfo;
    ZO_MEDIA_COM::QSubtitleSettings subtitleSettings;
    ZO_MEDIA_COM::QTrimTimeSet trimTime;
    ZO_MEDIA_COM::QAudioEffectSetting audioEffect;
    ZO_MEDIA_COM::QVideoEffectSettings videoEffect;

private:
    template <typename Manager>
    static void share(Manager*& slot, Manager* manager);

    QImageSubMediaManager* m_imageManager = nullptr;
    QTextSubMediaManager* m_textManager = nullptr;
    QAudioSubMediaManager* m_audioManager = nullptr;
};

class QBaseConvertController : public QRefCounted {
public:
    QBaseConvertController();
    QBaseConvertController(const QBaseConvertController&) = delete;
    QBaseConvertController& operator=(const QBaseConvertController&) = delete;
    virtual ~QBaseConvertController();

    // From then on the job borrows info; the one it owned is deleted.
    virtual void setConverterInfo(QBaseConverterInfo* info);
    virtual QBaseConverterInfo* converterInfo();
    // The handle is a MediaConvertContext*.
    virtual bool setOutputParamConfig(void* handle);
    virtual bool setWatarmarkerConfig(void* handle);
    virtual bool setChapter(void* handle);
    virtual bool setVideoEffect(void* handle);
    virtual bool setAudioEffect(void* handle);
    // Writes the tags into the finished output (MP4 and MOV only).
    virtual bool setAudioTag();

    static bool IsUTF8(const char* text);

private:
    void passCrop(void* handle) const;
    void passSubtitles(void* handle) const;

    bool m_borrowed = false;
    QBaseConverterInfo* m_info;
};

#endif
