#include "ico_writer.h"

#include <QBuffer>
#include <QFile>

namespace {

void put16(QByteArray& out, int value) {
    out.append(char(value & 0xff));
    out.append(char((value >> 8) & 0xff));
}

void put32(QByteArray& out, quint32 value) {
    put16(out, int(value & 0xffff));
    put16(out, int(value >> 16));
}

}  // namespace

bool write_icon(const QString& file, const QList<QImage>& images, QString* error) {
    QList<QByteArray> pngs;
    for (const QImage& image : images) {
        if (image.width() > 256 || image.height() > 256) {
            *error = "icon images are at most 256 pixels";
            return false;
        }
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.convertToFormat(QImage::Format_ARGB32).save(&buffer, "PNG");
        pngs.append(png);
    }
    QByteArray ico;
    put16(ico, 0);
    put16(ico, 1);  // icon
    put16(ico, int(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        ico.append(char(images[i].width() & 0xff));  // 256 is written as 0
        ico.append(char(images[i].height() & 0xff));
        ico.append(char(0));  // no palette
        ico.append(char(0));
        put16(ico, 1);   // planes
        put16(ico, 32);  // bits per pixel
        put32(ico, quint32(pngs[i].size()));
        put32(ico, offset);
        offset += quint32(pngs[i].size());
    }
    for (const QByteArray& png : pngs) ico.append(png);

    QFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(ico) != ico.size()) {
        *error = out.errorString();
        return false;
    }
    return true;
}
