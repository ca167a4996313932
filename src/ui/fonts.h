#pragma once

#include <QFont>

#include "ui/content_scale.h"

namespace velora::st {

// The suite's typeface (its files are loaded from the Resources folder) at a size in
// pixels, as the window's designs give sizes, at the content scale.
inline QFont open_sans(int pixels, int weight = QFont::Normal) {
    QFont font("Open Sans");
    font.setPixelSize(scaled(pixels));
    font.setWeight(static_cast<QFont::Weight>(weight));
    return font;
}

}  // namespace velora::st
