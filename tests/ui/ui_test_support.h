#pragma once

#include <QDir>
#include <QString>
#include <QWidget>
#include <filesystem>

#include "support/test_env.h"

namespace castmill::test {

// The Resources folder the build copies beside the executables.
inline std::filesystem::path shipped_resources() { return bin_dir() / "Resources"; }

// Saves a PNG of the widget under $CASTMILL_SCREENSHOT_DIR for people to look at.
inline bool save_screenshot(QWidget& widget, const QString& name) {
    QString dir = qEnvironmentVariable("CASTMILL_SCREENSHOT_DIR");
    if (dir.isEmpty()) return true;
    return QDir().mkpath(dir) && widget.grab().save(QDir(dir).filePath(name + ".png"), "PNG");
}

}  // namespace castmill::test
