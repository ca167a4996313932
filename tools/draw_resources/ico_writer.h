#pragma once

#include <QImage>
#include <QList>
#include <QString>

// Writes a Windows icon holding one PNG-compressed image per size (at most 256).
bool write_icon(const QString& file, const QList<QImage>& images, QString* error);
