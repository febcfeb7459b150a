// The OpenGL surface that shows decoded frames. Frames arrive on the media
// layer's decoding thread; each is copied into a short queue under a mutex
// and drawn on the GUI thread: packed 32-bit BGRA as one texture, planar
// YUV 4:2:0 as three luminance textures turned into RGB by a shader.
#ifndef VIDMEND_QZOVIDEOSHOWWIDGET_H
#define VIDMEND_QZOVIDEOSHOWWIDGET_H

#include <QColor>
#include <QOpenGLWidget>

#include <memory>

class QZOVideoShowWidget : public QOpenGLWidget {
    Q_OBJECT
public:
    // At most this many frames wait for the GUI thread; later ones are
    // dropped rather than letting the queue grow.
    static constexpr int kMaxPending = 9;

    enum FrameKind { NoFrame = 0, PackedFrame = 1, YuvFrame = 2 };
    // What the last drawn frame left in the textures, for the paint and for
    // tests: the frame's size, the texture's, and the part it covers.
    struct DrawState {
        FrameKind kind = NoFrame;
        int frameWidth = 0;
        int frameHeight = 0;
        int textureWidth = 0;
        int textureHeight = 0;
        float s = 1.0f;
        float t = 1.0f;
    };

    explicit QZOVideoShowWidget(QWidget* parent = nullptr);
    ~QZOVideoShowWidget() override;

    // Queue a copy of a frame; callable on any thread. Null data (planes)
    // queues a frame without pixels, which empties the picture.
    void showImage(unsigned char* data, unsigned int width, unsigned int height, unsigned int lineSize);
    void showYUVImage(unsigned char** planes, int width, int height, int* lineSizes);
    void setBackgroundColor(const QColor& color);
    // Frees every texture, the program and every queued frame.
    void reset();

    int pendingFrames() const;
    DrawState drawState() const;
    // 0 until the first YUV frame; then the shader program, 0 when it
    // could not be built.
    unsigned int yuvProgram() const;

    // The smallest power of two at least n (1 for 0).
    static int powerOfTwo(int n);

signals:
    void emitDrawImageData();
    void emitDrawYUVImageData();

public slots:
    void drawImageData();
    void drawYUVImageData();

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

private:
    struct Private;
    struct Frame;
    void drawQueuedFrame();
    void uploadPacked(const Frame& frame);
    void uploadYuv(const Frame& frame);
    bool buildProgram();
    bool reservePending();
    void queue(std::unique_ptr<Frame> frame, bool yuv);
    std::unique_ptr<Private> d;
};

#endif
