#pragma once

#include <QImage>
#include <QList>

// The installer's pictures, drawn in its palette: the #FF2D89 to #FF907F
// gradient, #333333 text and white.
// Device pixels per designed pixel of the pictures drawn next: 2 for the sharp copies
// ("name@2x.png") that screens with twice the pixels use.
void set_drawing_scale(int scale);

QImage draw_app_icon(int size);
QImage draw_title();
QImage draw_close_icon();
QImage draw_min_icon();
QImage draw_tip_button(bool next);
QImage draw_tip_image(int number);  // 1 to 5, 704 x 528
QList<QImage> draw_loading_frames();
QImage draw_complete_label();
QImage draw_popup_close();
