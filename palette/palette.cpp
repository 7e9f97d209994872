#include "palette/palette.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// A field read the way atoi reads it: leading white space, an optional sign,
// the digits that follow; anything after them is ignored and no digits read
// 0. Saturates instead of overflowing, so a huge value is simply out of range.
long read_field(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value < 100000) value = value * 10 + (*text - '0');
    }
    return negative ? -value : value;
}

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

using File = std::unique_ptr<FILE, decltype(&std::fclose)>;

// Each call to this reads the next piece of at most 79 characters, so a
// longer line is judged piece by piece, as the palette format defines it.
template <typename OnPoint>
void for_each_control_point(FILE* file, OnPoint on_point) {
    char line[80];
    while (std::fgets(line, sizeof line, file)) {
        unsigned char i, r, g, b;
        if (parse_palette_line(line, &i, &r, &g, &b)) on_point(i, r, g, b);
    }
}

ControlPoints read_control_points(const char* path) {
    ControlPoints points;
    // Only a regular file: opening a FIFO would block and a device such as
    // /dev/zero never ends.
    struct stat st;
    if (!path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return points;
    const File file(std::fopen(path, "r"), &std::fclose);
    if (!file) return points;

    std::size_t counted = 0;
    for_each_control_point(file.get(), [&](unsigned char, unsigned char, unsigned char, unsigned char) {
        ++counted;
    });
    if (counted < 2) return points;

    // Only as many points as were counted: the file may grow in between.
    points.index.reserve(counted);
    points.red.reserve(counted);
    points.green.reserve(counted);
    points.blue.reserve(counted);
    std::rewind(file.get());
    for_each_control_point(file.get(), [&](unsigned char i, unsigned char r, unsigned char g, unsigned char b) {
        if (points.size() < counted) points.add(i, r, g, b);
    });
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

    long values[4];
    for (int k = 0; k < 4; ++k) {
        values[k] = read_field(fields[k]);
        if (values[k] < 0 || values[k] > 255) return 0;
    }
    unsigned char* destinations[4] = {index, red, green, blue};
    for (int k = 0; k < 4; ++k) {
        if (destinations[k]) *destinations[k] = static_cast<unsigned char>(values[k]);
    }
    return 1;
}

extern "C" void load_palette(const char* path, Palette palette) {
    if (!palette || !palette[0] || !palette[1] || !palette[2]) return;

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
                palette[c][to] = static_cast<unsigned char>(b);
                continue;
            }
            for (int i = from; i <= to; ++i) {
                palette[c][i] = static_cast<unsigned char>(a + (b - a) * (i - from) / (to - from));
            }
        }
    }
}
