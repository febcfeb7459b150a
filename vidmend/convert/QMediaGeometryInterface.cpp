#include "QMediaGeometryInterface.h"

#include "QVeAnyUtiliy.h"

namespace {

constexpr double kEpsilon = 1e-6;

double OrOne(double s)
{
    return QVeAnyUtiliy::equalDouble(s, 0.0) ? 1.0 : s;
}

}  // namespace

void QMediaGeometryInterface::convertToSource(double x, double y, double w, double h, int W, int H, double& sx,
                                              double& sy)
{
    if (W == 0 || H == 0) {
        sx = sy = 0.0;
        return;
    }
    sx = x - w / 2.0 + 0.5;
    sy = y - h / 2.0 + 0.5;
}

void QMediaGeometryInterface::convertToRelative(double x, double y, double w, double h, int W, int H, double& rx,
                                                double& ry)
{
    if (W == 0 || H == 0) {
        rx = ry = 0.0;
        return;
    }
    rx = x + w / 2.0 - 0.5;
    ry = y + h / 2.0 - 0.5;
}

void QMediaGeometryInterface::getResolutionSourcePos(double rx, double ry, double s, int W, int H, int& px, int& py)
{
    if (W == 0 || H == 0) {
        px = py = 0;
        return;
    }
    const double scale = OrOne(s);
    px = int(W * rx * scale);
    py = int(H * ry * scale);
}

void QMediaGeometryInterface::getResolutionRelativePos(int px, int py, double s, int W, int H, double& rx, double& ry)
{
    if (W == 0 || H == 0) {
        rx = ry = 0.0;
        return;
    }
    const double scale = OrOne(s);
    rx = double(px) / W / scale;
    ry = double(py) / H / scale;
}

QPair<double, double> QMediaGeometryInterface::getMediaScale(double a, double b, int w0, int h0, int w1, int h1)
{
    if (QVeAnyUtiliy::equalDouble(a, 0.0) || w0 == 0 || h0 == 0 || w1 == 0 || h1 == 0)
        return {0.0, 0.0};
    if (QVeAnyUtiliy::equalDouble(b, 0.0))
        return {0.0, b};
    if (double(w0) * h1 * b < double(h0) * w1 * a + kEpsilon)
        return {(w1 * a) * 100.0 / w0, double(w0)};
    return {(h1 * b) * 100.0 / h0, double(h0)};
}

bool QMediaGeometryInterface::changeMediaScale(double a, double b, double s0, double s1, int W, int H, double& oa,
                                               double& ob)
{
    oa = a;
    ob = b;
    if (QVeAnyUtiliy::equalDouble(a, 0.0))
        return true;
    if (W == 0 || H == 0)
        return QVeAnyUtiliy::equalDouble(b, 0.0);
    if (QVeAnyUtiliy::equalDouble(b, 0.0))
        return false;
    // Through pixels: the size at s0 is taken back to scale 1, then out to s1.
    const double from = OrOne(s0);
    const double to = OrOne(s1);
    const double pixelsA = a * W / from * to;
    const double pixelsB = b * H / from * to;
    oa = pixelsA / W;
    ob = pixelsB / H;
    return true;
}
