#include "artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

namespace {

const QColor kPink(0xFF, 0x2D, 0x89);
const QColor kCoral(0xFF, 0x90, 0x7F);
const QColor kText(0x33, 0x33, 0x33);
const QColor kWhite(Qt::white);

QLinearGradient brand(QPointF from, QPointF to) {
    QLinearGradient gradient(from, to);
    gradient.setColorAt(0, kPink);
    gradient.setColorAt(1, kCoral);
    return gradient;
}

int pixels_per_point = 1;

// width x height designed pixels; a painter on it draws in designed pixels at any scale.
QImage canvas(int width, int height) {
    QImage image(width * pixels_per_point, height * pixels_per_point,
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(pixels_per_point);
    image.fill(Qt::transparent);
    return image;
}

void begin(QPainter& p, QImage& image) {
    p.begin(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
}

QFont open_sans(int pixels, int weight) {
    QFont font("Open Sans");
    font.setPixelSize(pixels);
    font.setWeight(static_cast<QFont::Weight>(weight));
    return font;
}

QColor with_alpha(QColor colour, int alpha) {
    colour.setAlpha(alpha);
    return colour;
}

// A white card with a soft shadow below it.
void card(QPainter& p, const QRectF& r, qreal radius, const QColor& fill = kWhite) {
    p.setPen(Qt::NoPen);
    for (int i = 6; i >= 1; --i) {
        p.setBrush(QColor(120, 0, 40, 6));
        p.drawRoundedRect(r.adjusted(-i, -i + 6, i, i + 6), radius + i, radius + i);
    }
    p.setBrush(fill);
    p.drawRoundedRect(r, radius, radius);
}

void bar(QPainter& p, qreal x, qreal y, qreal w, qreal h, const QColor& colour) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(x, y, w, h), h / 2, h / 2);
}

QPainterPath heart(QPointF centre, qreal size) {
    QPainterPath path;
    qreal s = size / 2;
    path.moveTo(centre.x(), centre.y() + s * 0.9);
    path.cubicTo(centre.x() - s * 1.6, centre.y() - s * 0.2, centre.x() - s * 0.7,
                 centre.y() - s * 1.3, centre.x(), centre.y() - s * 0.45);
    path.cubicTo(centre.x() + s * 0.7, centre.y() - s * 1.3, centre.x() + s * 1.6,
                 centre.y() - s * 0.2, centre.x(), centre.y() + s * 0.9);
    return path;
}

QPainterPath star(QPointF centre, qreal outer, qreal inner, qreal rotation_deg) {
    QPainterPath path;
    for (int i = 0; i < 10; ++i) {
        qreal r = i % 2 ? inner : outer;
        qreal a = qDegreesToRadians(rotation_deg + i * 36.0 - 90.0);
        QPointF pt(centre.x() + r * qCos(a), centre.y() + r * qSin(a));
        if (i == 0)
            path.moveTo(pt);
        else
            path.lineTo(pt);
    }
    path.closeSubpath();
    return path;
}

QPainterPath play_triangle(QPointF centre, qreal size) {
    QPainterPath path;
    qreal h = size / 2;
    path.moveTo(centre.x() - h * 0.7, centre.y() - h);
    path.lineTo(centre.x() + h, centre.y());
    path.lineTo(centre.x() - h * 0.7, centre.y() + h);
    path.closeSubpath();
    return path;
}

// A person in a video frame, in soft brand tones.
void presenter(QPainter& p, const QRectF& frame) {
    p.setPen(Qt::NoPen);
    QLinearGradient back(frame.topLeft(), frame.bottomRight());
    back.setColorAt(0, QColor(0xFF, 0xE3, 0xEE));
    back.setColorAt(1, QColor(0xFF, 0xEC, 0xE8));
    p.setBrush(back);
    p.drawRoundedRect(frame, 10, 10);
    p.save();
    QPainterPath clip;
    clip.addRoundedRect(frame, 10, 10);
    p.setClipPath(clip);
    QPointF c(frame.center().x(), frame.bottom());
    qreal unit = frame.height() / 10.0;
    p.setBrush(brand(frame.topLeft(), frame.bottomRight()));
    p.drawEllipse(QPointF(c.x(), c.y() + unit * 0.8), unit * 4.0, unit * 3.8);
    p.setBrush(with_alpha(kPink, 200));
    p.drawEllipse(QPointF(c.x(), c.y() - unit * 5.4), unit * 1.9, unit * 1.9);
    p.restore();
}

void live_badge(QPainter& p, QPointF top_left) {
    QRectF badge(top_left, QSizeF(46, 20));
    p.setPen(Qt::NoPen);
    p.setBrush(kPink);
    p.drawRoundedRect(badge, 10, 10);
    p.setPen(kWhite);
    p.setFont(open_sans(11, 700));
    p.drawText(badge, Qt::AlignCenter, "LIVE");
}

void tip_background(QPainter& p, const QRect& r) {
    p.fillRect(r, brand(r.topLeft(), r.bottomRight()));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 24));
    p.drawEllipse(QPointF(640, 70), 190, 190);
    p.drawEllipse(QPointF(40, 540), 170, 170);
    p.setBrush(QColor(255, 255, 255, 16));
    p.drawEllipse(QPointF(560, 520), 110, 110);
    // Slightly deeper at the top, where the white tip text sits.
    QLinearGradient shade(0, 0, 0, 170);
    shade.setColorAt(0, QColor(160, 0, 60, 46));
    shade.setColorAt(1, QColor(160, 0, 60, 0));
    p.fillRect(QRect(0, 0, r.width(), 170), shade);
}

void draw_connect_toys(QPainter& p) {
    // Phone with a tip on its screen.
    QRectF phone(178, 150, 140, 270);
    card(p, phone, 24);
    QRectF screen = phone.adjusted(12, 30, -12, -30);
    p.setBrush(brand(screen.topLeft(), screen.bottomRight()));
    p.drawRoundedRect(screen, 12, 12);
    bar(p, phone.center().x() - 18, phone.top() + 13, 36, 6, QColor(0xE4, 0xE4, 0xE8));
    p.setBrush(kWhite);
    p.drawPath(heart(QPointF(screen.center().x(), screen.center().y() - 18), 54));
    bar(p, screen.left() + 18, screen.center().y() + 34, screen.width() - 36, 10,
        with_alpha(kWhite, 200));
    bar(p, screen.left() + 30, screen.center().y() + 54, screen.width() - 60, 10,
        with_alpha(kWhite, 140));

    // The toy, answering with waves.
    QPointF toy(492, 292);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 0, 40, 30));
    p.drawEllipse(QPointF(toy.x(), toy.y() + 10), 64, 94);
    p.setBrush(kWhite);
    p.drawEllipse(toy, 60, 90);
    p.setBrush(brand(QPointF(toy.x() - 40, toy.y() - 60), QPointF(toy.x() + 40, toy.y() + 60)));
    p.drawEllipse(toy, 36, 62);
    p.setBrush(kWhite);
    p.drawEllipse(QPointF(toy.x(), toy.y() - 20), 10, 10);
    p.drawEllipse(QPointF(toy.x(), toy.y() + 16), 10, 10);
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 2; ++i) {
        p.setPen(QPen(with_alpha(kWhite, 230 - i * 80), 6, Qt::SolidLine, Qt::RoundCap));
        qreal r = 84 + i * 22;
        QRectF arc(toy.x() - r, toy.y() - r, 2 * r, 2 * r);
        p.drawArc(arc, -30 * 16, 60 * 16);
        p.drawArc(arc, 150 * 16, 60 * 16);
    }

    // The link between them.
    p.setPen(QPen(kWhite, 5, Qt::DashLine, Qt::RoundCap));
    p.drawLine(QPointF(326, 285), QPointF(398, 285));
    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawEllipse(QPointF(362, 285), 20, 20);
    p.setBrush(kPink);
    p.drawPath(heart(QPointF(362, 286), 20));
}

void draw_stickers_themes(QPainter& p) {
    QRectF window(170, 150, 364, 270);
    card(p, window, 18);
    for (int i = 0; i < 3; ++i) {
        p.setBrush(i == 0 ? kPink : QColor(0xE4, 0xE4, 0xE8));
        p.drawEllipse(QPointF(window.left() + 22 + i * 16, window.top() + 20), 5, 5);
    }
    presenter(p, QRectF(window.left() + 18, window.top() + 40, window.width() - 36, 168));
    // Theme swatches.
    const QColor swatches[] = {kPink, kCoral, QColor(0x8C, 0x6C, 0xFF), QColor(0x2E, 0xC4, 0xB6),
                               kText};
    for (int i = 0; i < 5; ++i) {
        p.setPen(i == 0 ? QPen(kPink, 3) : QPen(Qt::NoPen));
        p.setBrush(swatches[i]);
        p.drawEllipse(QPointF(window.left() + 34 + i * 34, window.bottom() - 30), 11, 11);
    }
    bar(p, window.right() - 138, window.bottom() - 36, 120, 12, QColor(0xEE, 0xEE, 0xF2));

    // Stickers with white die-cut edges.
    auto sticker = [&](const QPainterPath& shape, const QColor& colour) {
        p.setPen(QPen(kWhite, 10, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(kWhite);
        p.drawPath(shape);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawPath(shape);
    };
    sticker(star(QPointF(520, 160), 50, 22, 12), QColor(0xFF, 0xC9, 0x4A));
    sticker(heart(QPointF(178, 404), 78), kPink);
    QPainterPath smile;
    smile.addEllipse(QPointF(540, 400), 38, 38);
    sticker(smile, kCoral);
    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawEllipse(QPointF(527, 391), 5, 6);
    p.drawEllipse(QPointF(553, 391), 5, 6);
    p.setPen(QPen(kWhite, 5, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(520, 386, 40, 30), -160 * 16, 140 * 16);
}

void draw_multi_streaming(QPainter& p) {
    const QPointF hub(352, 318);
    const QRectF targets[] = {QRectF(118, 160, 150, 96), QRectF(436, 160, 150, 96),
                              QRectF(277, 404, 150, 72)};
    p.setPen(QPen(with_alpha(kWhite, 220), 5, Qt::DashLine, Qt::RoundCap));
    for (const QRectF& t : targets) p.drawLine(hub, t.center());
    for (int i = 0; i < 3; ++i) {
        const QRectF& t = targets[i];
        card(p, t, 14);
        QRectF video = t.adjusted(10, 10, -10, i == 2 ? -10 : -30);
        presenter(p, video);
        live_badge(p, QPointF(video.left() + 6, video.top() + 6));
        if (i < 2) {
            bar(p, t.left() + 10, t.bottom() - 20, 70, 8, QColor(0xE4, 0xE4, 0xE8));
            bar(p, t.right() - 40, t.bottom() - 20, 30, 8, with_alpha(kPink, 120));
        }
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 60));
    p.drawEllipse(hub, 78, 78);
    p.setBrush(kWhite);
    p.drawEllipse(hub, 58, 58);
    p.setBrush(brand(hub - QPointF(40, 40), hub + QPointF(40, 40)));
    p.drawPath(play_triangle(hub + QPointF(4, 0), 52));
}

void draw_chatbox(QPainter& p) {
    QRectF panel(182, 146, 340, 320);
    card(p, panel, 18);
    p.setPen(kText);
    p.setFont(open_sans(16, 700));
    p.drawText(QRectF(panel.left() + 22, panel.top() + 14, 200, 24), Qt::AlignLeft, "Chat");
    bar(p, panel.right() - 70, panel.top() + 22, 48, 10, with_alpha(kPink, 90));
    p.fillRect(QRectF(panel.left(), panel.top() + 50, panel.width(), 1), QColor(0xEE, 0xEE, 0xF2));

    const QColor avatars[] = {QColor(0x8C, 0x6C, 0xFF), kCoral, QColor(0x2E, 0xC4, 0xB6)};
    qreal y = panel.top() + 68;
    for (int i = 0; i < 3; ++i) {
        bool tip = i == 1;
        p.setPen(Qt::NoPen);
        p.setBrush(avatars[i]);
        p.drawEllipse(QPointF(panel.left() + 38, y + 20), 16, 16);
        QRectF bubble(panel.left() + 64, y, tip ? 230 : 200 - i * 10, 50);
        if (tip)
            p.setBrush(brand(bubble.topLeft(), bubble.bottomRight()));
        else
            p.setBrush(QColor(0xF4, 0xF4, 0xF7));
        p.drawRoundedRect(bubble, 14, 14);
        QColor ink = tip ? with_alpha(kWhite, 230) : QColor(0xD6, 0xD6, 0xDE);
        bar(p, bubble.left() + 14, bubble.top() + 13, bubble.width() * 0.55, 9, ink);
        bar(p, bubble.left() + 14, bubble.top() + 29, bubble.width() * 0.75, 9, ink);
        if (tip) {
            p.setBrush(kWhite);
            p.drawPath(heart(QPointF(bubble.right() - 24, bubble.center().y()), 22));
        }
        y += 66;
    }
    QRectF input(panel.left() + 20, panel.bottom() - 58, panel.width() - 40, 40);
    p.setPen(QPen(QColor(0xE4, 0xE4, 0xE8), 2));
    p.setBrush(kWhite);
    p.drawRoundedRect(input, 20, 20);
    bar(p, input.left() + 18, input.center().y() - 4, 120, 8, QColor(0xE4, 0xE4, 0xE8));
    QPointF send(input.right() - 20, input.center().y());
    p.setPen(Qt::NoPen);
    p.setBrush(brand(send - QPointF(16, 16), send + QPointF(16, 16)));
    p.drawEllipse(send, 16, 16);
    p.setBrush(kWhite);
    p.drawPath(play_triangle(send + QPointF(2, 0), 14));
}

void draw_insights(QPainter& p) {
    QRectF chart(164, 150, 376, 300);
    card(p, chart, 18);
    p.setPen(kText);
    p.setFont(open_sans(15, 700));
    p.drawText(QRectF(chart.left() + 22, chart.top() + 16, 200, 22), Qt::AlignLeft, "Viewers");
    bar(p, chart.left() + 22, chart.top() + 44, 90, 8, QColor(0xE4, 0xE4, 0xE8));

    QRectF plot(chart.left() + 26, chart.top() + 80, chart.width() - 52, chart.height() - 106);
    p.setPen(QPen(QColor(0xEE, 0xEE, 0xF2), 1));
    for (int i = 0; i <= 3; ++i) {
        qreal gy = plot.top() + plot.height() * i / 3.0;
        p.drawLine(QPointF(plot.left(), gy), QPointF(plot.right(), gy));
    }
    const double heights[] = {0.35, 0.5, 0.42, 0.62, 0.55, 0.78, 0.92};
    const int n = 7;
    qreal slot = plot.width() / n;
    QPolygonF line;
    p.setPen(Qt::NoPen);
    for (int i = 0; i < n; ++i) {
        qreal h = plot.height() * heights[i];
        QRectF column(plot.left() + slot * i + slot * 0.22, plot.bottom() - h, slot * 0.56, h);
        QLinearGradient fill(column.topLeft(), column.bottomLeft());
        fill.setColorAt(0, i == n - 1 ? kPink : with_alpha(kPink, 150));
        fill.setColorAt(1, i == n - 1 ? kCoral : with_alpha(kCoral, 110));
        p.setBrush(fill);
        p.drawRoundedRect(column, 6, 6);
        line << QPointF(column.center().x(), column.top() - 16);
    }
    p.setPen(QPen(kText, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(line);
    p.setPen(Qt::NoPen);
    for (const QPointF& pt : line) {
        p.setBrush(kWhite);
        p.drawEllipse(pt, 6, 6);
        p.setBrush(kText);
        p.drawEllipse(pt, 3.5, 3.5);
    }

    // Growth badge.
    QRectF badge(chart.right() - 120, chart.top() + 16, 98, 34);
    p.setBrush(brand(badge.topLeft(), badge.bottomRight()));
    p.drawRoundedRect(badge, 17, 17);
    QPainterPath arrow;
    QPointF a(badge.left() + 22, badge.center().y());
    arrow.moveTo(a.x(), a.y() - 9);
    arrow.lineTo(a.x() + 8, a.y() + 1);
    arrow.lineTo(a.x() - 8, a.y() + 1);
    arrow.closeSubpath();
    p.setBrush(kWhite);
    p.drawPath(arrow);
    p.drawRect(QRectF(a.x() - 3, a.y(), 6, 9));
    p.setPen(kWhite);
    p.setFont(open_sans(15, 700));
    p.drawText(badge.adjusted(34, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft, "+24%");
}

}  // namespace

void set_drawing_scale(int scale) { pixels_per_point = scale; }

QImage draw_app_icon(int size) {
    QImage image = canvas(size, size);
    QPainter p;
    begin(p, image);
    qreal s = size;
    QRectF tile(0, 0, s, s);
    p.setPen(Qt::NoPen);
    p.setBrush(brand(tile.topLeft(), tile.bottomRight()));
    p.drawRoundedRect(tile, s * 0.22, s * 0.22);
    QPointF centre(s * 0.44, s * 0.5);
    p.setBrush(kWhite);
    p.drawPath(play_triangle(centre, s * 0.42));
    if (size >= 32) {
        // Broadcast waves.
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(kWhite, s * 0.06, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 2; ++i) {
            qreal r = s * (0.3 + i * 0.12);
            p.drawArc(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), -35 * 16, 70 * 16);
        }
    }
    return image;
}

QImage draw_title() {
    QImage image = canvas(180, 32);
    QPainter p;
    begin(p, image);
    p.drawImage(QPointF(12, 6), draw_app_icon(20));
    p.setPen(kText);
    p.setFont(open_sans(14, 700));
    p.drawText(QRectF(40, 0, 140, 32), Qt::AlignLeft | Qt::AlignVCenter, "Castmill");
    return image;
}

// Title-bar icons are drawn at twice their 20-pixel size so they stay sharp when
// Qt scales them for the screen.
QImage draw_close_icon() {
    QImage image = canvas(40, 40);
    QPainter p;
    begin(p, image);
    p.setPen(QPen(kText, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(13, 13), QPointF(27, 27));
    p.drawLine(QPointF(27, 13), QPointF(13, 27));
    return image;
}

QImage draw_min_icon() {
    QImage image = canvas(40, 40);
    QPainter p;
    begin(p, image);
    p.setPen(QPen(kText, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(12, 20), QPointF(28, 20));
    return image;
}

QImage draw_tip_button(bool next) {
    QImage image = canvas(64, 64);
    QPainter p;
    begin(p, image);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 0, 40, 40));
    p.drawEllipse(QPointF(32, 34), 30, 30);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawEllipse(QPointF(32, 32), 29, 29);
    p.setPen(QPen(kPink, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    qreal dir = next ? 1 : -1;
    QPolygonF chevron;
    chevron << QPointF(32 - 5 * dir, 20) << QPointF(32 + 7 * dir, 32) << QPointF(32 - 5 * dir, 44);
    p.drawPolyline(chevron);
    return image;
}

QImage draw_tip_image(int number) {
    QImage image = canvas(704, 528);
    QPainter p;
    begin(p, image);
    tip_background(p, QRect(0, 0, 704, 528));
    switch (number) {
        case 1:
            draw_connect_toys(p);
            break;
        case 2:
            draw_stickers_themes(p);
            break;
        case 3:
            draw_multi_streaming(p);
            break;
        case 4:
            draw_chatbox(p);
            break;
        default:
            draw_insights(p);
            break;
    }
    return image;
}

QList<QImage> draw_loading_frames() {
    QList<QImage> frames;
    constexpr int kFrames = 12;
    for (int f = 0; f < kFrames; ++f) {
        QImage image(48, 48, QImage::Format_ARGB32_Premultiplied);
        image.fill(kWhite);
        QPainter p;
        begin(p, image);
        QRectF ring(8, 8, 32, 32);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(0xFF, 0xE3, 0xEE), 5));
        p.drawEllipse(ring);
        qreal start = 90.0 - f * 360.0 / kFrames;
        QConicalGradient sweep(ring.center(), start);
        sweep.setColorAt(0, kPink);
        sweep.setColorAt(0.7, kCoral);
        sweep.setColorAt(1, kPink);
        p.setPen(QPen(QBrush(sweep), 5, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(ring, int(start * 16), -100 * 16);
        frames.append(image);
    }
    return frames;
}

QImage draw_complete_label() {
    QImage image = canvas(48, 48);
    QPainter p;
    begin(p, image);
    p.setPen(Qt::NoPen);
    p.setBrush(brand(QPointF(4, 4), QPointF(44, 44)));
    p.drawEllipse(QPointF(24, 24), 21, 21);
    p.setPen(QPen(kWhite, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPolygonF check;
    check << QPointF(14, 25) << QPointF(21, 32) << QPointF(34, 17);
    p.drawPolyline(check);
    return image;
}

QImage draw_popup_close() {
    QImage image = canvas(48, 48);
    QPainter p;
    begin(p, image);
    p.setPen(QPen(QColor(0x66, 0x66, 0x66), 3.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(16, 16), QPointF(32, 32));
    p.drawLine(QPointF(32, 16), QPointF(16, 32));
    return image;
}
