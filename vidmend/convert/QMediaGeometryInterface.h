// Arithmetic between an overlay's relative positions (fractions of the
// picture, its centre measured from the picture's centre) and pixels. W and
// H are the picture's pixel size; every result is 0 when either is 0.
#ifndef VIDMEND_QMEDIAGEOMETRYINTERFACE_H
#define VIDMEND_QMEDIAGEOMETRYINTERFACE_H

#include <QPair>

class QMediaGeometryInterface {
public:
    // A centre relative to the picture's centre becomes a top-left corner
    // relative to the picture.
    static void convertToSource(double x, double y, double w, double h, int W, int H, double& sx, double& sy);
    static void convertToRelative(double x, double y, double w, double h, int W, int H, double& rx, double& ry);
    // s == 0 counts as 1; pixels are truncated.
    static void getResolutionSourcePos(double rx, double ry, double s, int W, int H, int& px, int& py);
    static void getResolutionRelativePos(int px, int py, double s, int W, int H, double& rx, double& ry);
    // (scale, base) for a media of a x b shown at w1 x h1 in a picture of w0 x h0.
    static QPair<double, double> getMediaScale(double a, double b, int w0, int h0, int w1, int h1);
    // Rescales a x b from scale s0 to s1 (0 counts as 1).
    static bool changeMediaScale(double a, double b, double s0, double s1, int W, int H, double& oa, double& ob);
};

#endif
