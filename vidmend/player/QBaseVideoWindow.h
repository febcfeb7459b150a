// The video surface of the player: keeps the picture at the video's aspect
// ratio, centred in the space the player gives it, over a plain background;
// the frames themselves are drawn by the OpenGL display inside it.
#ifndef VIDMEND_QBASEVIDEOWINDOW_H
#define VIDMEND_QBASEVIDEOWINDOW_H

#include <QColor>
#include <QRect>
#include <QWidget>

class QZOVideoShowWidget;

class QBaseVideoWindow : public QWidget {
    Q_OBJECT
public:
    explicit QBaseVideoWindow(QWidget* parent = nullptr);
    ~QBaseVideoWindow() override;

    virtual WId getWId();
    virtual void SetOpenGl(bool) {}
    // Places the display at the video's aspect ratio; sizes below 1 are
    // ignored.
    virtual void setVideoSize(int width, int height);
    // Both may be called on any thread; the display copies the pixels.
    virtual void showImage(unsigned char* data, unsigned int width, unsigned int height, unsigned int lineSize);
    virtual void showYUVImage(unsigned char** planes, int width, int height, int* lineSizes);

    QRect getVideoViewRect() const;
    void setBgColor(const QColor& color);
    void resetOpenGl();
    // Moves the display out of view, keeping its textures.
    void resetPlayView();
    QZOVideoShowWidget* display() const { return m_display; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int m_videoWidth = 1;
    int m_videoHeight = 1;
    QZOVideoShowWidget* m_display;  // a child: Qt owns it
    QColor m_bgColor{0, 0, 0, 255};
};

#endif
