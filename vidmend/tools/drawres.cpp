// Draws the application's images into a Resources folder at build time:
// four-state button strips (normal, hover, pressed, disabled) at device
// pixel ratio 2, the window background as a nine-grid with a transparent
// 8-pixel shadow margin, and the application icon. Every image is ours.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>
#include <functional>

namespace {

// A transparent image with an antialiased painter on it, for one drawing.
class Canvas {
public:
    Canvas(int w, int h) : m_image(w, h, QImage::Format_ARGB32_Premultiplied)
    {
        m_image.fill(Qt::transparent);
        m_painter.begin(&m_image);
        m_painter.setRenderHint(QPainter::Antialiasing);
    }
    QPainter& Painter() { return m_painter; }
    // Ends the drawing: the image as drawn.
    QImage Take()
    {
        m_painter.end();
        return m_image;
    }

private:
    QImage m_image;
    QPainter m_painter;
};

// A white tick through three points given as fractions of side.
void drawTick(QPainter& p, int side, double width, const QPointF (&at)[3])
{
    p.setPen(QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath tick;
    tick.moveTo(side * at[0].x(), side * at[0].y());
    tick.lineTo(side * at[1].x(), side * at[1].y());
    tick.lineTo(side * at[2].x(), side * at[2].y());
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
}

bool save(const QImage& image, const QString& path)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "drawres: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// A strip of four round title-bar buttons, each side pixels square, with a
// glyph drawn by glyph(painter, frame rectangle, colour).
QImage buttonStrip(int side, const std::function<void(QPainter&, const QRectF&, const QColor&)>& glyph)
{
    Canvas canvas(4 * side, side);
    QPainter& p = canvas.Painter();
    const QColor fills[4] = {QColor(236, 236, 236), QColor(81, 102, 192), QColor(58, 76, 150), QColor(245, 245, 245)};
    const QColor rims[4] = {QColor(196, 196, 196), QColor(81, 102, 192), QColor(58, 76, 150), QColor(226, 226, 226)};
    const QColor inks[4] = {QColor(64, 64, 64), Qt::white, Qt::white, QColor(196, 196, 196)};
    for (int f = 0; f < 4; ++f) {
        const QRectF cell(f * side + 1, 1, side - 2, side - 2);
        p.setPen(QPen(rims[f], 2));
        p.setBrush(fills[f]);
        p.drawEllipse(cell);
        glyph(p, cell.adjusted(side * 0.3, side * 0.3, -side * 0.3, -side * 0.3), inks[f]);
    }
    return canvas.Take();
}

QImage background(int w, int h)
{
    Canvas canvas(w, h);
    QPainter& p = canvas.Painter();
    const int margin = 16;  // 8 logical pixels
    // The shadow: rings of falling alpha inside the margin.
    for (int i = margin; i > 0; --i) {
        const int alpha = 3 + (margin - i) * 2;
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, alpha / 2));
        p.drawRoundedRect(QRectF(margin - i, margin - i + 2, w - 2 * (margin - i), h - 2 * (margin - i)), 12 + i, 12 + i);
    }
    QPainterPath body;
    body.addRoundedRect(QRectF(margin, margin, w - 2 * margin, h - 2 * margin), 12, 12);
    p.fillPath(body, Qt::white);
    // The title band: 22 logical pixels in a light grey with a separator.
    p.save();
    p.setClipPath(body);
    p.fillRect(QRectF(margin, margin, w - 2 * margin, 60), QColor(246, 246, 248));
    p.fillRect(QRectF(margin, margin + 60, w - 2 * margin, 2), QColor(219, 219, 219));
    p.restore();
    return canvas.Take();
}

// A strip of four text-button frames (normal, hover, pressed, disabled):
// rounded, the text is drawn over it by the button.
QImage textButtonStrip(int w, int h)
{
    Canvas canvas(4 * w, h);
    QPainter& p = canvas.Painter();
    const QColor fills[4] = {QColor(255, 255, 255), QColor(229, 233, 248), QColor(205, 212, 240), QColor(245, 245, 245)};
    const QColor rims[4] = {QColor(196, 196, 196), QColor(81, 102, 192), QColor(58, 76, 150), QColor(226, 226, 226)};
    for (int f = 0; f < 4; ++f) {
        p.setPen(QPen(rims[f], 2));
        p.setBrush(fills[f]);
        p.drawRoundedRect(QRectF(f * w + 1, 1, w - 2, h - 2), 10, 10);
    }
    return canvas.Take();
}

// A round message icon with a glyph: '!' warning, 'x' error, '?' help,
// a tick for success.
QImage messageIcon(const QColor& colour, char glyph)
{
    const int side = 80;  // 40 logical pixels
    Canvas canvas(side, side);
    QPainter& p = canvas.Painter();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(2, 2, side - 4, side - 4));
    p.setPen(QPen(Qt::white, 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    switch (glyph) {
    case '!':
        p.drawLine(QPointF(40, 18), QPointF(40, 46));
        p.drawPoint(QPointF(40, 60));
        break;
    case 'x':
        p.drawLine(QPointF(26, 26), QPointF(54, 54));
        p.drawLine(QPointF(54, 26), QPointF(26, 54));
        break;
    case '?': {
        QFont font;
        font.setPixelSize(50);
        font.setBold(true);
        p.setFont(font);
        p.drawText(QRectF(0, 0, side, side), Qt::AlignCenter, QStringLiteral("?"));
        break;
    }
    default:
        p.drawPolyline(QPolygonF({QPointF(22, 42), QPointF(35, 55), QPointF(58, 28)}));
        break;
    }
    return canvas.Take();
}

// The file list's row icons: a film frame for video, a note for audio, in
// grey or, on a selected row, in the accent colour.
QImage fileIcon(bool video, bool selected)
{
    const int side = 32;  // 16 logical pixels
    Canvas canvas(side, side);
    QPainter& p = canvas.Painter();
    const QColor ink = selected ? QColor(81, 102, 192) : QColor(120, 120, 120);
    if (video) {
        p.setPen(QPen(ink, 2.5));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(3, 6, 26, 20), 3, 3);
        p.setBrush(ink);
        p.setPen(Qt::NoPen);
        p.drawPolygon(QPolygonF({QPointF(13, 11), QPointF(22, 16), QPointF(13, 21)}));
    } else {
        p.setPen(QPen(ink, 2.5));
        p.drawLine(QPointF(21, 5), QPointF(21, 22));
        p.drawLine(QPointF(21, 5), QPointF(27, 9));
        p.setBrush(ink);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(10, 18, 11, 9));
    }
    return canvas.Take();
}

// A check box image for a given state: 0 unchecked, 1 partially, 2 checked.
QImage checkImage(int state)
{
    const int side = 28;  // 14 logical pixels, as the other marks
    Canvas canvas(side, side);
    QPainter& p = canvas.Painter();
    p.scale(28.0 / 32.0, 28.0 / 32.0);
    const QColor accent(81, 102, 192);
    p.setPen(QPen(state == 0 ? QColor(176, 176, 176) : accent, 2));
    p.setBrush(state == 0 ? QColor(Qt::white) : accent);
    p.drawRoundedRect(QRectF(3, 3, 26, 26), 5, 5);
    p.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    if (state == 1)
        p.drawLine(QPointF(10, 16), QPointF(22, 16));
    else if (state == 2)
        p.drawPolyline(QPolygonF({QPointF(9, 16), QPointF(14, 21), QPointF(23, 11)}));
    return canvas.Take();
}

// The file table's in-cell buttons: four frames of 20 x 20 logical pixels
// (normal, hover, pressed, disabled) with a glyph.
QImage cellButton(char glyph)
{
    const int side = 40;
    Canvas canvas(4 * side, side);
    QPainter& p = canvas.Painter();
    const QColor inks[4] = {QColor(140, 140, 140), QColor(81, 102, 192), QColor(58, 76, 150), QColor(210, 210, 210)};
    for (int f = 0; f < 4; ++f) {
        const QRectF r(f * side + 6, 6, side - 12, side - 12);
        const QColor ink = glyph == '!' ? QColor(208, 0, 0) : inks[f];
        p.setPen(QPen(ink, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        switch (glyph) {
        case 'f':  // a folder: reveal the file
            p.drawPolygon(QPolygonF({r.bottomLeft(), r.topLeft() + QPointF(0, 4), r.topLeft() + QPointF(10, 4),
                                     r.topLeft() + QPointF(13, 8), r.topRight() + QPointF(0, 8), r.bottomRight()}));
            break;
        case 'x':  // remove the row
            p.drawLine(r.topLeft() + QPointF(4, 4), r.bottomRight() - QPointF(4, 4));
            p.drawLine(r.topRight() + QPointF(-4, 4), r.bottomLeft() + QPointF(4, -4));
            break;
        case 'p':  // play
            p.setBrush(ink);
            p.drawPolygon(QPolygonF({r.topLeft() + QPointF(6, 2), r.bottomLeft() + QPointF(6, -2),
                                     QPointF(r.right() - 2, r.center().y())}));
            break;
        default:  // the error mark
            p.drawEllipse(r);
            p.drawLine(QPointF(r.center().x(), r.top() + 6), QPointF(r.center().x(), r.center().y() + 2));
            p.drawPoint(QPointF(r.center().x(), r.bottom() - 6));
            break;
        }
    }
    return canvas.Take();
}

// The large add button of the empty list: a plus in a dashed rounded box.
QImage addFileButton()
{
    const int w = 240, h = 160;  // 60 x 40 logical pixels per frame... of four
    Canvas canvas(4 * w, h);
    QPainter& p = canvas.Painter();
    const QColor inks[4] = {QColor(180, 188, 224), QColor(81, 102, 192), QColor(58, 76, 150), QColor(220, 220, 220)};
    for (int f = 0; f < 4; ++f) {
        p.setPen(QPen(inks[f], 4, Qt::DashLine));
        p.setBrush(QColor(248, 249, 255));
        p.drawRoundedRect(QRectF(f * w + 4, 4, w - 8, h - 8), 20, 20);
        p.setPen(QPen(inks[f], 10, Qt::SolidLine, Qt::RoundCap));
        const QPointF c(f * w + w / 2.0, h / 2.0);
        p.drawLine(c - QPointF(30, 0), c + QPointF(30, 0));
        p.drawLine(c - QPointF(0, 30), c + QPointF(0, 30));
    }
    return canvas.Take();
}

// The table header: a light band, a separator, a pressed band, a sort arrow.
QImage headerImage(char kind)
{
    switch (kind) {
    case 'b': {
        QImage image(8, 40, QImage::Format_ARGB32_Premultiplied);
        image.fill(QColor(246, 246, 248));
        QPainter p(&image);
        p.fillRect(QRect(0, 38, 8, 2), QColor(219, 219, 219));
        return image;
    }
    case 's': {
        QImage image(2, 40, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.fillRect(QRect(0, 8, 2, 24), QColor(219, 219, 219));
        return image;
    }
    case 'p': {
        QImage image(8, 40, QImage::Format_ARGB32_Premultiplied);
        image.fill(QColor(229, 233, 248));
        return image;
    }
    default: {
        QImage image(16, 12, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(120, 120, 120));
        p.drawPolygon(QPolygonF({QPointF(2, 10), QPointF(14, 10), QPointF(8, 2)}));
        return image;
    }
    }
}

QImage appIcon()
{
    Canvas canvas(600, 600);
    QPainter& p = canvas.Painter();
    QLinearGradient g(0, 0, 0, 600);
    g.setColorAt(0, QColor(104, 124, 214));
    g.setColorAt(1, QColor(58, 76, 150));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(30, 30, 540, 540), 110, 110);
    // A film frame with its sprocket holes.
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(120, 150, 360, 300), 30, 30);
    p.setBrush(QColor(81, 102, 192));
    for (int i = 0; i < 5; ++i) {
        p.drawRoundedRect(QRectF(150 + i * 64, 172, 36, 30), 8, 8);
        p.drawRoundedRect(QRectF(150 + i * 64, 398, 36, 30), 8, 8);
    }
    // A play mark mended with a stitch.
    QPainterPath play;
    play.moveTo(255, 235);
    play.lineTo(365, 300);
    play.lineTo(255, 365);
    play.closeSubpath();
    p.fillPath(play, QColor(81, 102, 192));
    p.setPen(QPen(QColor(255, 170, 60), 14, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(230, 300), QPointF(390, 300));
    return canvas.Take();
}

// A four-state strip of rounded push buttons (normal, hover, pressed,
// disabled), each frame w x h pixels; the text is drawn by the button.
QImage pushStrip(int w, int h, const QColor fills[4], const QColor rims[4])
{
    Canvas canvas(4 * w, h);
    QPainter& p = canvas.Painter();
    for (int f = 0; f < 4; ++f) {
        p.setPen(QPen(rims[f], 2));
        p.setBrush(fills[f]);
        p.drawRoundedRect(QRectF(f * w + 1, 1, w - 2, h - 2), 8, 8);
    }
    return canvas.Take();
}

// The combo box's drop-down button: four frames of a small chevron
// (normal, hover, pressed, disabled) on a clear ground.
QImage arrowStrip(int w, int h)
{
    Canvas canvas(4 * w, h);
    QPainter& p = canvas.Painter();
    const QColor inks[4] = {QColor(64, 64, 64), QColor(81, 102, 192), QColor(58, 76, 150), QColor(196, 196, 196)};
    for (int f = 0; f < 4; ++f) {
        p.setPen(QPen(inks[f], 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const double cx = f * w + w / 2.0, cy = h / 2.0;
        QPainterPath chevron;
        chevron.moveTo(cx - w * 0.25, cy - h * 0.08);
        chevron.lineTo(cx, cy + h * 0.12);
        chevron.lineTo(cx + w * 0.25, cy - h * 0.08);
        p.setBrush(Qt::NoBrush);
        p.drawPath(chevron);
    }
    return canvas.Take();
}

// A square check mark box or a round radio mark, side pixels, ticked or not.
QImage mark(int side, bool round, bool on)
{
    Canvas canvas(side, side);
    QPainter& p = canvas.Painter();
    const QRectF box(1.5, 1.5, side - 3, side - 3);
    p.setPen(QPen(on ? QColor(81, 102, 192) : QColor(170, 170, 170), 2));
    p.setBrush(on && !round ? QColor(81, 102, 192) : QColor(Qt::white));
    if (round) {
        p.drawEllipse(box);
        if (on) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(81, 102, 192));
            p.drawEllipse(box.adjusted(side * 0.25, side * 0.25, -side * 0.25, -side * 0.25));
        }
    } else {
        p.drawRoundedRect(box, 4, 4);
        if (on) {
            drawTick(p, side, side / 8.0, {{0.25, 0.52}, {0.43, 0.70}, {0.76, 0.32}});
        }
    }
    return canvas.Take();
}

// A white edit field with a light border.
QImage editField(int w, int h)
{
    Canvas canvas(w, h);
    QPainter& p = canvas.Painter();
    p.setPen(QPen(QColor(219, 219, 219), 2));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(1, 1, w - 2, h - 2), 6, 6);
    return canvas.Take();
}

// A flat rounded bar: the track or its filled part.
QImage bar(int w, int h, const QColor& color)
{
    Canvas canvas(w, h);
    QPainter& p = canvas.Painter();
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(QRectF(0, h * 0.25, w, h * 0.5), h * 0.25, h * 0.25);
    return canvas.Take();
}

// A green disc with a tick: a save that went well.
QImage successIcon(int side)
{
    Canvas canvas(side, side);
    QPainter& p = canvas.Painter();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(76, 175, 110));
    p.drawEllipse(QRectF(1, 1, side - 2, side - 2));
    drawTick(p, side, side / 10.0, {{0.28, 0.52}, {0.44, 0.68}, {0.74, 0.36}});
    return canvas.Take();
}


// The player's round play and pause buttons: a disc in the accent colour
// with a white glyph, side pixels per frame.
QImage playerDisc(int side, bool pause)
{
    Canvas canvas(4 * side, side);
    QPainter& p = canvas.Painter();
    const QColor fills[4] = {QColor(81, 102, 192), QColor(104, 124, 212), QColor(58, 76, 150), QColor(200, 200, 200)};
    for (int f = 0; f < 4; ++f) {
        const QRectF cell(f * side + 2, 2, side - 4, side - 4);
        p.setPen(Qt::NoPen);
        p.setBrush(fills[f]);
        p.drawEllipse(cell);
        p.setBrush(Qt::white);
        const QPointF c = cell.center();
        const double g = side * 0.16;
        if (pause) {
            p.drawRoundedRect(QRectF(c.x() - g, c.y() - 1.2 * g, 0.7 * g, 2.4 * g), 2, 2);
            p.drawRoundedRect(QRectF(c.x() + 0.3 * g, c.y() - 1.2 * g, 0.7 * g, 2.4 * g), 2, 2);
        } else {
            p.drawPolygon(QPolygonF({c + QPointF(-0.8 * g, -1.3 * g), c + QPointF(-0.8 * g, 1.3 * g),
                                     c + QPointF(1.4 * g, 0)}));
        }
    }
    return canvas.Take();
}

// Previous and next: a double triangle against a bar, in grey that turns
// to the accent colour under the mouse.
QImage playerStep(int side, bool next)
{
    Canvas canvas(4 * side, side);
    QPainter& p = canvas.Painter();
    const QColor inks[4] = {QColor(120, 120, 120), QColor(81, 102, 192), QColor(58, 76, 150), QColor(210, 210, 210)};
    for (int f = 0; f < 4; ++f) {
        p.save();
        p.translate(f * side + side / 2.0, side / 2.0);
        if (!next)
            p.scale(-1, 1);
        p.setPen(Qt::NoPen);
        p.setBrush(inks[f]);
        const double g = side * 0.2;
        p.drawPolygon(QPolygonF({QPointF(-1.6 * g, -g), QPointF(-1.6 * g, g), QPointF(-0.1 * g, 0)}));
        p.drawPolygon(QPolygonF({QPointF(-0.1 * g, -g), QPointF(-0.1 * g, g), QPointF(1.4 * g, 0)}));
        p.drawRect(QRectF(1.4 * g, -g, 0.35 * g, 2 * g));
        p.restore();
    }
    return canvas.Take();
}

// The volume button: a speaker with waves for the level (0 muted, with a
// cross; 1 to 3 waves).
QImage volumeButton(int side, int level)
{
    Canvas canvas(4 * side, side);
    QPainter& p = canvas.Painter();
    const QColor inks[4] = {QColor(120, 120, 120), QColor(81, 102, 192), QColor(58, 76, 150), QColor(210, 210, 210)};
    for (int f = 0; f < 4; ++f) {
        p.save();
        p.translate(f * side, 0);
        const double u = side / 20.0;
        p.setPen(Qt::NoPen);
        p.setBrush(inks[f]);
        p.drawPolygon(QPolygonF({QPointF(3 * u, 7.5 * u), QPointF(6 * u, 7.5 * u), QPointF(10 * u, 4 * u),
                                 QPointF(10 * u, 16 * u), QPointF(6 * u, 12.5 * u), QPointF(3 * u, 12.5 * u)}));
        p.setPen(QPen(inks[f], 1.4 * u, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        if (level == 0) {
            p.drawLine(QPointF(12.5 * u, 7.5 * u), QPointF(17.5 * u, 12.5 * u));
            p.drawLine(QPointF(17.5 * u, 7.5 * u), QPointF(12.5 * u, 12.5 * u));
        }
        for (int w = 1; w <= level; ++w) {
            const double r = (1.5 + 2.5 * w) * u;
            p.drawArc(QRectF(10 * u - r, 10 * u - r, 2 * r, 2 * r), -45 * 16, 90 * 16);
        }
        p.restore();
    }
    return canvas.Take();
}

// A slider's knob: a white disc with an accent rim.
QImage sliderKnob(int side)
{
    Canvas canvas(4 * side, side);
    QPainter& p = canvas.Painter();
    const QColor rims[4] = {QColor(81, 102, 192), QColor(104, 124, 212), QColor(58, 76, 150), QColor(200, 200, 200)};
    for (int f = 0; f < 4; ++f) {
        p.setPen(QPen(rims[f], side / 8.0));
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(f * side + side / 8.0, side / 8.0, side * 0.75, side * 0.75));
    }
    return canvas.Take();
}

// The preview window: a light title band of 22 logical pixels over a white
// body inside a one-pixel grey border; the player and its bar cover the
// body.
QImage playerDialogBackground(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(196, 196, 196));
    QPainter p(&image);
    p.fillRect(QRect(2, 2, w - 4, h - 4), Qt::white);
    p.fillRect(QRect(2, 2, w - 4, 42), QColor(246, 246, 248));
    p.fillRect(QRect(2, 42, w - 4, 2), QColor(219, 219, 219));
    return image;
}

// What the level display shows behind its bars: a note on a soft disc.
QImage audioLogo(int side)
{
    Canvas canvas(side, side);
    QPainter& p = canvas.Painter();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 18));
    p.drawEllipse(QRectF(0, 0, side, side));
    const double u = side / 24.0;
    const QColor ink(150, 160, 200, 140);
    p.setBrush(ink);
    p.drawEllipse(QRectF(5 * u, 14 * u, 5 * u, 4 * u));
    p.drawEllipse(QRectF(13 * u, 12 * u, 5 * u, 4 * u));
    p.setPen(QPen(ink, 1.2 * u, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({QPointF(9.4 * u, 16 * u), QPointF(9.4 * u, 6 * u), QPointF(17.4 * u, 4 * u),
                              QPointF(17.4 * u, 14 * u)}));
    return canvas.Take();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: drawres <Resources folder>...\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const int side = 28;  // 14 logical pixels per frame
    const QImage closeStrip = buttonStrip(side, [](QPainter& p, const QRectF& r, const QColor& ink) {
        p.setPen(QPen(ink, 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(r.topLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomLeft());
    });
    const QImage minStrip = buttonStrip(side, [](QPainter& p, const QRectF& r, const QColor& ink) {
        p.setPen(QPen(ink, 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
    });
    const QImage maxStrip = buttonStrip(side, [](QPainter& p, const QRectF& r, const QColor& ink) {
        p.setPen(QPen(ink, 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
        p.drawLine(QPointF(r.center().x(), r.top()), QPointF(r.center().x(), r.bottom()));
    });
    const QImage restoreStrip = buttonStrip(side, [](QPainter& p, const QRectF& r, const QColor& ink) {
        p.setPen(QPen(ink, 2));
        p.setBrush(Qt::NoBrush);
        p.drawRect(r.adjusted(1, 1, -1, -1));
    });
    const QImage menuStrip = buttonStrip(side, [](QPainter& p, const QRectF& r, const QColor& ink) {
        p.setPen(QPen(ink, 2, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 3; ++i) {
            const double y = r.top() + i * r.height() / 2;
            p.drawLine(QPointF(r.left(), y), QPointF(r.right(), y));
        }
    });
    const QImage bg = background(1800, 1200);
    const QImage icon = appIcon();
    for (int i = 1; i < argc; ++i) {
        const QString root = QString::fromLocal8Bit(argv[i]) + QStringLiteral("/image/");
        bool ok = save(closeStrip, root + QStringLiteral("btn_close.png")) &&
                  save(minStrip, root + QStringLiteral("btn_min.png")) &&
                  save(maxStrip, root + QStringLiteral("btn_max.png")) &&
                  save(restoreStrip, root + QStringLiteral("btn_restore.png")) &&
                  save(menuStrip, root + QStringLiteral("btn_menu.png")) &&
                  save(bg, root + QStringLiteral("background.png")) &&
                  save(icon, root + QStringLiteral("common/icon600x600.png")) &&
                  save(fileIcon(true, false), root + QStringLiteral("common/videofile.png")) &&
                  save(fileIcon(true, true), root + QStringLiteral("common/videofile_selected.png")) &&
                  save(fileIcon(false, false), root + QStringLiteral("common/audiofile.png")) &&
                  save(fileIcon(false, true), root + QStringLiteral("common/audiofile_selected.png")) &&
                  save(checkImage(1), root + QStringLiteral("common/btn_partially.png")) &&
                  save(addFileButton(), root + QStringLiteral("common/btn_add_file.png")) &&
                  save(cellButton('f'), root + QStringLiteral("ViewControl/btn_preview.png")) &&
                  save(cellButton('x'), root + QStringLiteral("ViewControl/btn_delete.png")) &&
                  save(cellButton('p'), root + QStringLiteral("ViewControl/btn_play.png")) &&
                  save(cellButton('!'), root + QStringLiteral("ViewControl/btn_error.png")) &&
                  save(headerImage('b'), root + QStringLiteral("HeaderView/header_bg.png")) &&
                  save(headerImage('s'), root + QStringLiteral("HeaderView/header_slip.png")) &&
                  save(headerImage('p'), root + QStringLiteral("HeaderView/header_select_bg.png")) &&
                  save(headerImage('a'), root + QStringLiteral("HeaderView/order_flag_up.png"));
        // The message box's pictures.
        const QString pic = QString::fromLocal8Bit(argv[i]) + QStringLiteral("/pic/");
        ok = ok && save(background(480, 320), pic + QStringLiteral("bg_msg.png")) &&
             save(closeStrip, pic + QStringLiteral("btn_close.png")) &&
             save(textButtonStrip(160, 56), pic + QStringLiteral("btn_common.png")) &&
             save(messageIcon(QColor(240, 160, 40), '!'), pic + QStringLiteral("warning.png")) &&
             save(messageIcon(QColor(220, 70, 60), 'x'), pic + QStringLiteral("error.png")) &&
             save(messageIcon(QColor(81, 102, 192), '?'), pic + QStringLiteral("help.png")) &&
             save(messageIcon(QColor(6, 176, 37), 'v'), pic + QStringLiteral("Success.png"));
        // The workflow dialogs: panel backgrounds, buttons, tabs, check and
        // radio marks, the edit field, the progress bar and the success mark.
        const QColor common[4] = {QColor(255, 255, 255), QColor(240, 243, 252), QColor(226, 231, 248),
                                  QColor(248, 248, 248)};
        const QColor commonRims[4] = {QColor(81, 102, 192), QColor(81, 102, 192), QColor(73, 82, 121),
                                      QColor(219, 219, 219)};
        const QColor tabs[4] = {QColor(246, 246, 248), QColor(236, 239, 250), QColor(255, 255, 255),
                                QColor(246, 246, 248)};
        const QColor tabRims[4] = {QColor(219, 219, 219), QColor(81, 102, 192), QColor(81, 102, 192),
                                   QColor(230, 230, 230)};
        // The main actions of the bottom bar (Repair, Cancel, Continue,
        // Save): the accent colour under white text.
        const QColor mainFills[4] = {QColor(81, 102, 192), QColor(98, 120, 212), QColor(58, 76, 150),
                                     QColor(190, 197, 226)};
        const QColor mainRims[4] = {QColor(73, 92, 176), QColor(81, 102, 192), QColor(50, 66, 132),
                                    QColor(190, 197, 226)};
        // The combo box's face: a white field with a grey rim, the accent
        // rim on hover and while its list is open.
        const QColor comboFills[4] = {QColor(255, 255, 255), QColor(255, 255, 255), QColor(246, 247, 252),
                                      QColor(248, 248, 248)};
        const QColor comboRims[4] = {QColor(200, 200, 200), QColor(81, 102, 192), QColor(81, 102, 192),
                                     QColor(226, 226, 226)};
        ok = ok && save(background(600, 420), root + QStringLiteral("common/bg_1.png")) &&
             save(background(600, 420), root + QStringLiteral("common/bg_2.png")) &&
             save(pushStrip(180, 60, mainFills, mainRims), root + QStringLiteral("common/btn_main_r.png")) &&
             save(pushStrip(180, 40, comboFills, comboRims), root + QStringLiteral("common/cmb_common.png")) &&
             save(arrowStrip(26, 40), root + QStringLiteral("common/btn_arrow.png")) &&
             save(background(600, 420), root + QStringLiteral("common/bg_tab.png")) &&
             save(pushStrip(160, 50, common, commonRims), root + QStringLiteral("common/btn_common.png")) &&
             save(pushStrip(174, 50, tabs, tabRims), root + QStringLiteral("common/btn_tab.png")) &&
             save(mark(28, false, true), root + QStringLiteral("common/btn_checked.png")) &&
             save(mark(28, false, false), root + QStringLiteral("common/btn_uncheck.png")) &&
             save(mark(28, true, true), root + QStringLiteral("common/Edit_selections_yes.png")) &&
             save(mark(28, true, false), root + QStringLiteral("common/Edit_selections_no.png")) &&
             save(editField(120, 40), root + QStringLiteral("common/edit.png")) &&
             save(bar(400, 30, QColor(230, 230, 230)), root + QStringLiteral("player/slider_play_bottom.png")) &&
             save(bar(400, 30, QColor(81, 102, 192)), root + QStringLiteral("player/slider_play_top.png")) &&
             save(successIcon(96), root + QStringLiteral("pic/Success.png"));
        // The preview window and its controls.
        ok = ok && save(playerDialogBackground(1200, 900), root + QStringLiteral("player/play_dlg.png")) &&
             save(playerDisc(72, false), root + QStringLiteral("player/btn_play.png")) &&
             save(playerDisc(72, true), root + QStringLiteral("player/btn_Pause.png")) &&
             save(playerStep(48, false), root + QStringLiteral("player/btn_previous.png")) &&
             save(playerStep(48, true), root + QStringLiteral("player/btn_next.png")) &&
             save(volumeButton(40, 0), root + QStringLiteral("player/btn_volume_null.png")) &&
             save(volumeButton(40, 1), root + QStringLiteral("player/btn_volume_little.png")) &&
             save(volumeButton(40, 2), root + QStringLiteral("player/btn_volume_big.png")) &&
             save(volumeButton(40, 3), root + QStringLiteral("player/btn_volume_full.png")) &&
             save(sliderKnob(32), root + QStringLiteral("player/slider_play_btn.png")) &&
             save(sliderKnob(24), root + QStringLiteral("player/slider_btn.png")) &&
             save(bar(148, 24, QColor(230, 230, 230)), root + QStringLiteral("player/slider_bottom.png")) &&
             save(bar(148, 24, QColor(81, 102, 192)), root + QStringLiteral("player/slider_top.png")) &&
             save(audioLogo(240), root + QStringLiteral("player/bg_audio.png"));
        if (!ok)
            return 1;
    }
    return 0;
}
