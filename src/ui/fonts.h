#pragma once

#include <QFont>

namespace velora::st {

// The suite's typeface (its files are loaded from the Resources folder) at a size in
// pixels, as the window's designs give sizes.
inline QFont open_sans(int pixels, int weight = QFont::Normal) {
    QFont font("Open Sans");
    font.setPixelSize(pixels);
    font.setWeight(static_cast<QFont::Weight>(weight));
    return font;
}

}  // namespace velora::st
