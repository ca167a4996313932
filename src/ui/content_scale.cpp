#include "ui/content_scale.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QWidget>
#include <cmath>

namespace velora::st {

namespace {
double factor_in_use = 1.0;
}

void set_content_scale(double factor) { factor_in_use = factor > 0 ? factor : 1.0; }

double content_scale() { return factor_in_use; }

int scaled(int pixels) {
    if (pixels >= QWIDGETSIZE_MAX) return pixels;
    return static_cast<int>(std::lround(pixels * factor_in_use));
}

QSize scaled(const QSize& size) { return {scaled(size.width()), scaled(size.height())}; }

QRect scaled(const QRect& rect) {
    return {scaled(rect.topLeft().x()), scaled(rect.topLeft().y()), scaled(rect.width()),
            scaled(rect.height())};
}

QPixmap scaled_picture(const QString& file, QSize designed, double device_ratio) {
    const double ratio = device_ratio > 0 ? device_ratio : 1.0;
    QImage image;
    if (ratio * factor_in_use > 1.0) {
        const QFileInfo info(file);
        image.load(info.dir().filePath(info.completeBaseName() + "@2x." + info.suffix()));
    }
    const bool sharp = !image.isNull();
    if (!sharp && !image.load(file)) return {};
    if (designed.isEmpty()) designed = sharp ? image.size() / 2 : image.size();
    const QSize device = scaled(designed) * ratio;
    if (image.size() != device)
        image = image.scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QPixmap picture = QPixmap::fromImage(image);
    picture.setDevicePixelRatio(ratio);
    return picture;
}

}  // namespace velora::st
