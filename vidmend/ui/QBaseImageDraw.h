// The image operations every self-drawn control shares. Images are used at
// device pixel ratio 2, so every source rectangle is in logical pixels (half
// the image's pixels) and doubled when drawn.
#ifndef VIDMEND_QBASEIMAGEDRAW_H
#define VIDMEND_QBASEIMAGEDRAW_H

#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QPixmap>
#include <QRect>
#include <QWidget>

#include <memory>

class QPainter;

class QBaseImageDraw {
public:
    QBaseImageDraw() = default;
    static void drawImage(QPainter& painter, const QRect& target, const QRect& source, const QImage& image);
    static void drawPixmap(QPainter& painter, const QRect& target, const QRect& source, const QPixmap& pixmap);
    // The whole image stretched into rect, or as a nine-grid whose corner
    // cells keep their size and whose edges and centre stretch.
    static void drawBtnImageBg(QPainter& painter, const QRect& rect, const QImage& image, bool nineGrid);
    static QPainterPath GetRoundedRectanglePath(const QRectF& rect, double radius);
    // A control image from a file, at ratio 2; null when the file is
    // missing or does not load.
    static std::unique_ptr<QImage> loadImageRatio2(const QString& path);
};

// The spinning busy indicator: twelve capsules fading round a circle.
class QProgressIndicator : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int delay READ animationDelay WRITE setAnimationDelay)
    Q_PROPERTY(bool displayedWhenStopped READ isDisplayedWhenStopped WRITE setDisplayedWhenStopped)
    Q_PROPERTY(QColor color READ color WRITE setColor)
public:
    explicit QProgressIndicator(QWidget* parent = nullptr);

    int animationDelay() const { return m_delay; }
    bool isAnimated() const { return m_timerId != -1; }
    bool isDisplayedWhenStopped() const { return m_displayedWhenStopped; }
    const QColor& color() const { return m_color; }
    int angle() const { return m_angle; }
    void setIndicatorPolicy(int policy) { m_policy = policy; }
    QSize sizeHint() const override { return QSize(20, 20); }
    int heightForWidth(int w) const override { return w; }
    // Width of one capsule as drawn for side s (the factor is 0.35 up to 32
    // pixels and 0.23 above).
    static int capsuleWidth(int side);

public slots:
    void startAnimation();
    void stopAnimation();
    void setAnimationDelay(int delay);
    void setDisplayedWhenStopped(bool state);
    void setColor(const QColor& color);

protected:
    virtual void DrawAnimation(QPainter& painter);
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    int m_angle = 0;
    int m_timerId = -1;
    int m_delay = 40;
    bool m_displayedWhenStopped = false;
    QColor m_color = Qt::black;
    int m_policy = 1;
};

#endif
