/* Palette files: lines "index,red,green,blue" whose colours are interpolated
 * into the 256 entries of a Palette. Plain C, exported from libtolvek.so. */
#ifndef TOLVEK_PALETTE_H
#define TOLVEK_PALETTE_H

#include "convert/convert.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fills every entry of the caller's three tables from the palette file at
 * `path`, or from the built-in black-to-pale-yellow gradient when the file is
 * missing or holds fewer than two usable lines. */
TOLVEK_API void load_palette(const char *path, Palette palette);

/* 1 when `line` is a control point "index,red,green,blue" (exactly three
 * commas, each value 0..255), else 0. Writes the values to the destinations
 * that are not NULL. Each comma passed is overwritten with a terminator. */
int parse_palette_line(char *line, unsigned char *index, unsigned char *red,
                       unsigned char *green, unsigned char *blue);

#ifdef __cplusplus
}
#endif

#endif
