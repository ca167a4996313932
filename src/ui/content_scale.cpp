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

int scaled(int pixels) {
    if (pixels >= QWIDGETSIZE_MAX) return pixels;
    return static_cast<int>(std::lround(pixels * factor_in_use));
}

QSize scaled(const QSize& size) { return {scaled(size.width()), scaled(size.height())}; }

QRect scaled(const QRect& rect) {
    return {scaled(rect.topLeft().x()), scaled(rect.topLeft().y()), scaled(rect.width()),
            scaled(rect.height())};
}

QString picture_file(const QString& file, double device_ratio) {
    if (device_ratio * factor_in_use <= 1.0) return file;
    const QFileInfo info(file);
    const QString sharp = info.dir().filePath(info.completeBaseName() + "@2x." + info.suffix());
    return QFileInfo::exists(sharp) ? sharp : file;
}

QPixmap scaled_picture(const QString& file, QSize designed, double device_ratio) {
    const double ratio = device_ratio > 0 ? device_ratio : 1.0;
    const QString source = picture_file(file, ratio);
    QImage image(source);
    if (image.isNull()) return {};
    if (designed.isEmpty()) designed = source == file ? image.size() : image.size() / 2;
    const QSize device = scaled(designed) * ratio;
    if (image.size() != device)
        image = image.scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QPixmap picture = QPixmap::fromImage(image);
    picture.setDevicePixelRatio(ratio);
    return picture;
}

}  // namespace velora::st
