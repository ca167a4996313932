// Draws every picture of the installer's Resources folder.
// Usage: draw_resources <resources folder> [<Open Sans font folder>]

#include <QDir>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImageReader>
#include <QMovie>
#include <cstdio>

#include "artwork.h"
#include "gif_writer.h"
#include "ico_writer.h"

namespace {

int fail(const QString& what) {
    std::fprintf(stderr, "draw_resources: %s\n", qPrintable(what));
    return 1;
}

bool save_png(const QDir& dir, const QString& name, const QImage& image) {
    bool ok = image.save(dir.filePath(name), "PNG");
    if (ok) std::printf("%s %dx%d\n", qPrintable(name), image.width(), image.height());
    return ok;
}

// The GIF must decode, through Qt, to exactly the frames we quantised.
QString check_gif(const QString& file, const QList<QImage>& frames) {
    QList<QImage> expected = quantised_frames(frames);
    QImageReader reader(file);
    for (int i = 0; i < expected.size(); ++i) {
        QImage decoded = reader.read();
        if (decoded.isNull())
            return QString("frame %1 does not decode: %2").arg(i).arg(reader.errorString());
        if (decoded.convertToFormat(QImage::Format_RGB32) != expected[i])
            return QString("frame %1 decodes to other pixels").arg(i);
    }
    QMovie movie(file);
    if (!movie.isValid() || movie.frameCount() != expected.size())
        return QString("QMovie reports %1 frames").arg(movie.frameCount());
    return {};
}

QString check_icon(const QString& file, const QList<int>& sizes) {
    QImageReader reader(file, "ico");
    if (reader.imageCount() != sizes.size())
        return QString("icon holds %1 images").arg(reader.imageCount());
    for (int i = 0; i < sizes.size(); ++i) {
        reader.jumpToImage(i);
        QImage image = reader.read();
        if (image.width() != sizes[i]) return QString("icon image %1 does not read back").arg(i);
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() < 2) return fail("usage: draw_resources <resources folder> [<font folder>]");
    QDir out(args[1]);
    if (!out.mkpath(".")) return fail("cannot create " + args[1]);

    QString fonts = args.size() > 2 ? args[2] : "/usr/share/fonts/truetype/open-sans";
    for (const char* face : {"OpenSans-Regular.ttf", "OpenSans-Bold.ttf"}) {
        if (QFontDatabase::addApplicationFont(QDir(fonts).filePath(face)) < 0)
            return fail(QString("cannot load %1 from %2").arg(face, fonts));
    }

    const QList<int> icon_sizes = {16, 24, 32, 48, 64, 128, 256};
    QList<QImage> icons;
    for (int size : icon_sizes) icons.append(draw_app_icon(size));
    QString error;
    if (!write_icon(out.filePath("app.ico"), icons, &error)) return fail("app.ico: " + error);
    error = check_icon(out.filePath("app.ico"), icon_sizes);
    if (!error.isEmpty()) return fail("app.ico: " + error);
    std::printf("app.ico %lld sizes\n", static_cast<long long>(icon_sizes.size()));

    bool ok = save_png(out, "title.png", draw_title()) &&
              save_png(out, "close.png", draw_close_icon()) &&
              save_png(out, "min.png", draw_min_icon()) &&
              save_png(out, "next_botton.png", draw_tip_button(true)) &&
              save_png(out, "prev_botton.png", draw_tip_button(false)) &&
              save_png(out, "complate_label.png", draw_complete_label()) &&
              save_png(out, "popup_close.png", draw_popup_close());
    for (int i = 1; ok && i <= 5; ++i)
        ok = save_png(out, QString("info_image_%1.png").arg(i), draw_tip_image(i));
    // The pictures the window shows at their own size, again at twice the pixels; the
    // icons are drawn large enough for both already.
    set_drawing_scale(2);
    ok = ok && save_png(out, "title@2x.png", draw_title()) &&
         save_png(out, "complate_label@2x.png", draw_complete_label());
    for (int i = 1; ok && i <= 5; ++i)
        ok = save_png(out, QString("info_image_%1@2x.png").arg(i), draw_tip_image(i));
    set_drawing_scale(1);
    if (!ok) return fail("cannot write a PNG into " + args[1]);

    QList<QImage> loading = draw_loading_frames();
    if (!write_animated_gif(out.filePath("loading.gif"), loading, 8, &error))
        return fail("loading.gif: " + error);
    error = check_gif(out.filePath("loading.gif"), loading);
    if (!error.isEmpty()) return fail("loading.gif: " + error);
    std::printf("loading.gif %lld frames\n", static_cast<long long>(loading.size()));
    return 0;
}
