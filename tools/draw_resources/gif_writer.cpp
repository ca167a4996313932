#include "gif_writer.h"

#include <QFile>
#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace {

using Rgb = std::array<int, 3>;

struct Palette {
    std::vector<Rgb> colours;
    std::unordered_map<QRgb, uint8_t> index_of;

    uint8_t nearest(QRgb pixel) {
        QRgb key = pixel | 0xff000000u;
        auto cached = index_of.find(key);
        if (cached != index_of.end()) return cached->second;
        int best = 0;
        long best_distance = -1;
        for (size_t i = 0; i < colours.size(); ++i) {
            long dr = qRed(key) - colours[i][0];
            long dg = qGreen(key) - colours[i][1];
            long db = qBlue(key) - colours[i][2];
            long distance = dr * dr + dg * dg + db * db;
            if (best_distance < 0 || distance < best_distance) {
                best = static_cast<int>(i);
                best_distance = distance;
            }
        }
        index_of.emplace(key, static_cast<uint8_t>(best));
        return static_cast<uint8_t>(best);
    }
};

// Median cut: split the box with the widest channel at its median until there
// are 256 boxes or none can be split; each box gives its mean colour.
Palette build_palette(const QList<QImage>& frames) {
    std::unordered_map<QRgb, long> counts;
    for (const QImage& frame : frames) {
        QImage rgb = frame.convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < rgb.height(); ++y) {
            auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
            for (int x = 0; x < rgb.width(); ++x) ++counts[line[x] | 0xff000000u];
        }
    }
    struct Entry {
        Rgb colour;
        long count;
    };
    std::vector<Entry> entries;
    for (const auto& [pixel, count] : counts)
        entries.push_back({{qRed(pixel), qGreen(pixel), qBlue(pixel)}, count});
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.colour < b.colour; });

    using Box = std::pair<size_t, size_t>;  // [begin, end) into entries
    auto widest_channel = [&](const Box& box, int* range) {
        int best = 0;
        *range = -1;
        for (int c = 0; c < 3; ++c) {
            int lo = 255, hi = 0;
            for (size_t i = box.first; i < box.second; ++i) {
                lo = std::min(lo, entries[i].colour[c]);
                hi = std::max(hi, entries[i].colour[c]);
            }
            if (hi - lo > *range) {
                *range = hi - lo;
                best = c;
            }
        }
        return best;
    };

    std::vector<Box> boxes{{0, entries.size()}};
    while (boxes.size() < 256) {
        int split = -1, split_range = 0, split_channel = 0;
        for (size_t b = 0; b < boxes.size(); ++b) {
            if (boxes[b].second - boxes[b].first < 2) continue;
            int range = 0;
            int channel = widest_channel(boxes[b], &range);
            if (range > split_range) {
                split = static_cast<int>(b);
                split_range = range;
                split_channel = channel;
            }
        }
        if (split < 0) break;
        Box box = boxes[split];
        std::sort(entries.begin() + box.first, entries.begin() + box.second,
                  [&](const Entry& a, const Entry& b) {
                      return a.colour[split_channel] < b.colour[split_channel];
                  });
        long total = 0;
        for (size_t i = box.first; i < box.second; ++i) total += entries[i].count;
        size_t middle = box.first + 1;
        long seen = entries[box.first].count;
        while (middle < box.second - 1 && seen * 2 < total) seen += entries[middle++].count;
        boxes[split] = {box.first, middle};
        boxes.push_back({middle, box.second});
    }

    Palette palette;
    for (const Box& box : boxes) {
        double sum[3] = {0, 0, 0};
        long weight = 0;
        for (size_t i = box.first; i < box.second; ++i) {
            for (int c = 0; c < 3; ++c) sum[c] += double(entries[i].colour[c]) * entries[i].count;
            weight += entries[i].count;
        }
        if (weight == 0) continue;
        palette.colours.push_back(
            {int(sum[0] / weight + 0.5), int(sum[1] / weight + 0.5), int(sum[2] / weight + 0.5)});
    }
    return palette;
}

std::vector<uint8_t> indices(const QImage& frame, Palette& palette) {
    QImage rgb = frame.convertToFormat(QImage::Format_RGB32);
    std::vector<uint8_t> out;
    out.reserve(size_t(rgb.width()) * rgb.height());
    for (int y = 0; y < rgb.height(); ++y) {
        auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) out.push_back(palette.nearest(line[x]));
    }
    return out;
}

// Variable-length codes packed least significant bit first, in sub-blocks of at
// most 255 bytes.
class CodeWriter {
public:
    void put(int code, int bits) {
        buffer |= uint32_t(code) << filled;
        filled += bits;
        while (filled >= 8) {
            bytes.push_back(uint8_t(buffer & 0xff));
            buffer >>= 8;
            filled -= 8;
        }
    }
    QByteArray finish() {
        if (filled > 0) bytes.push_back(uint8_t(buffer & 0xff));
        QByteArray blocks;
        for (size_t at = 0; at < bytes.size(); at += 255) {
            size_t n = std::min<size_t>(255, bytes.size() - at);
            blocks.append(char(n));
            blocks.append(reinterpret_cast<const char*>(bytes.data() + at), qsizetype(n));
        }
        blocks.append(char(0));
        return blocks;
    }

private:
    std::vector<uint8_t> bytes;
    uint32_t buffer = 0;
    int filled = 0;
};

QByteArray lzw(const std::vector<uint8_t>& pixels) {
    constexpr int kMinCodeSize = 8;
    constexpr int kClear = 1 << kMinCodeSize;
    constexpr int kEnd = kClear + 1;
    constexpr int kMaxCode = 4095;

    CodeWriter out;
    std::unordered_map<uint32_t, int> dictionary;
    int code_size = kMinCodeSize + 1;
    int last_code = kEnd;
    out.put(kClear, code_size);
    if (pixels.empty()) {
        out.put(kEnd, code_size);
        return out.finish();
    }
    int current = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        uint32_t key = (uint32_t(current) << 8) | pixels[i];
        auto found = dictionary.find(key);
        if (found != dictionary.end()) {
            current = found->second;
            continue;
        }
        out.put(current, code_size);
        dictionary.emplace(key, ++last_code);
        // The decoder adds its entry one code later, so widen once the newest
        // code no longer fits.
        if (last_code >= (1 << code_size) && code_size < 12) ++code_size;
        if (last_code == kMaxCode) {
            out.put(kClear, code_size);
            dictionary.clear();
            code_size = kMinCodeSize + 1;
            last_code = kEnd;
        }
        current = pixels[i];
    }
    out.put(current, code_size);
    out.put(kEnd, code_size);
    return out.finish();
}

void put16(QByteArray& out, int value) {
    out.append(char(value & 0xff));
    out.append(char((value >> 8) & 0xff));
}

}  // namespace

QList<QImage> quantised_frames(const QList<QImage>& frames) {
    Palette palette = build_palette(frames);
    QList<QImage> out;
    for (const QImage& frame : frames) {
        QImage image(frame.size(), QImage::Format_RGB32);
        std::vector<uint8_t> idx = indices(frame, palette);
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const Rgb& c = palette.colours[idx[size_t(y) * image.width() + x]];
                image.setPixel(x, y, qRgb(c[0], c[1], c[2]));
            }
        }
        out.append(image);
    }
    return out;
}

bool write_animated_gif(const QString& file, const QList<QImage>& frames, int delay_cs,
                        QString* error) {
    if (frames.isEmpty()) {
        *error = "no frames";
        return false;
    }
    const QSize size = frames.front().size();
    for (const QImage& frame : frames) {
        if (frame.size() != size) {
            *error = "frames differ in size";
            return false;
        }
    }
    Palette palette = build_palette(frames);

    QByteArray gif("GIF89a");
    put16(gif, size.width());
    put16(gif, size.height());
    gif.append(char(0xF7));  // global table of 256 entries, 8-bit colour resolution
    gif.append(char(0));     // background index
    gif.append(char(0));     // square pixels
    for (int i = 0; i < 256; ++i) {
        Rgb c = i < int(palette.colours.size()) ? palette.colours[i] : Rgb{0, 0, 0};
        for (int v : c) gif.append(char(v));
    }
    // NETSCAPE2.0: loop forever.
    gif.append("\x21\xFF\x0BNETSCAPE2.0\x03\x01", 16);
    put16(gif, 0);
    gif.append(char(0));

    for (const QImage& frame : frames) {
        gif.append("\x21\xF9\x04", 3);
        gif.append(char(0x04));  // keep the frame; it covers the whole screen
        put16(gif, delay_cs);
        gif.append(char(0));  // no transparent index
        gif.append(char(0));
        gif.append(char(0x2C));
        put16(gif, 0);
        put16(gif, 0);
        put16(gif, size.width());
        put16(gif, size.height());
        gif.append(char(0));  // no local table, not interlaced
        gif.append(char(8));  // LZW minimum code size
        gif.append(lzw(indices(frame, palette)));
    }
    gif.append(char(0x3B));

    QFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(gif) != gif.size()) {
        *error = out.errorString();
        return false;
    }
    return true;
}
