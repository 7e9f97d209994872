/* Palette files: lines "index,red,green,blue" whose colours are interpolated
 * into the 256 entries of each of three colour tables. */
#ifndef TOLVEK_PALETTE_H
#define TOLVEK_PALETTE_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when `line` is a control point "index,red,green,blue" (exactly three
 * commas, each value 0..255), else 0. Writes the values to the destinations
 * that are not NULL. Each comma passed is overwritten with a terminator. */
int parse_palette_line(char *line, unsigned char *index, unsigned char *red,
                       unsigned char *green, unsigned char *blue);

#ifdef __cplusplus
}

#include <array>

namespace tolvek::palette {

/* The colours of a cell's 256 levels: a red, a green and a blue table. */
struct Colours {
    std::array<unsigned char, 256> red{}, green{}, blue{};
};

/* Fills every entry of `out` from the palette file at `path`, or from the
 * built-in black-to-pale-yellow gradient when the file is missing or holds
 * fewer than two usable lines. */
void load_palette_file(const char* path, Colours& out);

}  // namespace tolvek::palette
#endif

#endif
