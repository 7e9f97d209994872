#include "palette/palette.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "common/file.h"
#include "common/number.h"

namespace {

// The format judges a long line in pieces of at most 79 characters (what a
// line buffer of 80 bytes holds), each ending at the latest with a newline.
constexpr std::size_t kLinePieceChars = 79;

struct ControlPoints {
    std::vector<unsigned char> index, red, green, blue;

    void add(unsigned char i, unsigned char r, unsigned char g, unsigned char b) {
        index.push_back(i);
        red.push_back(r);
        green.push_back(g);
        blue.push_back(b);
    }
    std::size_t size() const { return index.size(); }
};

template <typename OnPoint>
void for_each_control_point(std::string_view contents, OnPoint on_point) {
    while (!contents.empty()) {
        std::size_t length = std::min(contents.size(), kLinePieceChars);
        if (const std::size_t newline = contents.substr(0, length).find('\n'); newline != std::string_view::npos)
            length = newline + 1;
        // A copy: parse_palette_line writes terminators into it, and a NUL
        // byte inside ends the piece as it would in a C string.
        std::string piece(contents.substr(0, length));
        contents.remove_prefix(length);
        unsigned char i, r, g, b;
        if (parse_palette_line(piece.data(), &i, &r, &g, &b)) on_point(i, r, g, b);
    }
}

ControlPoints read_control_points(const char* path) {
    ControlPoints points;
    // Read once, through the one opening that refuses FIFOs and devices
    // (which would block or never end), so every point comes from the same
    // contents.
    std::string contents;
    if (!path || !tolvek::read_regular_file(path, contents)) return points;
    for_each_control_point(contents, [&](unsigned char i, unsigned char r, unsigned char g, unsigned char b) {
        points.add(i, r, g, b);
    });
    if (points.size() < 2) return ControlPoints{};
    return points;
}

}  // namespace

extern "C" int parse_palette_line(char* line, unsigned char* index, unsigned char* red,
                                  unsigned char* green, unsigned char* blue) {
    const char* fields[4] = {line, nullptr, nullptr, nullptr};
    int commas = 0;
    for (char* c = line; *c; ++c) {
        if (*c != ',') continue;
        if (commas == 3) return 0;  // a fourth comma: too many fields
        *c = '\0';
        fields[++commas] = c + 1;
    }
    if (commas != 3) return 0;

    int values[4];
    for (int k = 0; k < 4; ++k) {
        values[k] = tolvek::read_int(fields[k]);
        if (values[k] < 0 || values[k] > 255) return 0;
    }
    unsigned char* destinations[4] = {index, red, green, blue};
    for (int k = 0; k < 4; ++k) {
        if (destinations[k]) *destinations[k] = static_cast<unsigned char>(values[k]);
    }
    return 1;
}

void tolvek::palette::load_palette_file(const char* path, Colours& out) {
    std::array<unsigned char, 256>* const palette[3] = {&out.red, &out.green, &out.blue};
    ControlPoints points = read_control_points(path);
    // Also when the file lost lines between the two passes.
    if (points.size() < 2) {
        points = ControlPoints{};
        points.add(0, 0, 0, 0);
        points.add(255, 254, 240, 160);
    }
    points.index.front() = 0;
    points.index.back() = 255;

    const std::vector<unsigned char>* channels[3] = {&points.red, &points.green, &points.blue};
    for (std::size_t k = 0; k + 1 < points.size(); ++k) {
        const int from = points.index[k];
        const int to = points.index[k + 1];
        if (from > to) continue;
        for (int c = 0; c < 3; ++c) {
            const int a = (*channels[c])[k];
            const int b = (*channels[c])[k + 1];
            if (from == to) {
                // Two points at one entry: the later one wins, as it does
                // wherever pairs overlap.
                (*palette[c])[to] = static_cast<unsigned char>(b);
                continue;
            }
            for (int i = from; i <= to; ++i) {
                (*palette[c])[i] = static_cast<unsigned char>(a + (b - a) * (i - from) / (to - from));
            }
        }
    }
}
