#pragma once

#include <QImage>
#include <QList>
#include <QString>

// Writes an animated GIF89a that loops forever. Frames share one palette of at
// most 256 colours (median cut over all frames); alpha is ignored, so draw the
// frames on an opaque background. delay_cs is the frame time in 1/100 s.
bool write_animated_gif(const QString& file, const QList<QImage>& frames, int delay_cs,
                        QString* error);

// The frames after quantisation, as the GIF holds them: what a decoder must
// give back exactly.
QList<QImage> quantised_frames(const QList<QImage>& frames);
