#pragma once

#include <QPixmap>
#include <QRect>
#include <QSize>
#include <QString>

// The factor the installer's windows draw their fixed layout at. Where the screen's free
// area cannot hold the window at its designed size, the window draws itself smaller: its
// geometry, fonts and pictures together. Qt's own scale factor cannot do this, since its
// widgets never paint below one device pixel per pixel.
namespace velora::st {

// Set once, before the first window is built; 1 (the design) unless a screen is too small.
void set_content_scale(double factor);

// Designed pixels at the content scale. Qt's "no limit" size stays as it is.
int scaled(int pixels);
QSize scaled(const QSize& size);
QRect scaled(const QRect& rect);

// The file to draw a picture from: its double-resolution sibling "name@2x.png" where the
// screen has more than one device pixel per drawn pixel and the sibling exists.
QString picture_file(const QString& file, double device_ratio);

// The picture of file at size designed pixels (its own size when empty), from
// picture_file and tagged with the device pixel ratio, so that it stays sharp.
QPixmap scaled_picture(const QString& file, QSize designed, double device_ratio);

}  // namespace velora::st
