/* Palette files: lines "index,red,green,blue" whose colours are interpolated
 * into the 256 entries of a Palette. Plain C, exported from libtolvek.so. */
#ifndef TOLVEK_PALETTE_H
#define TOLVEK_PALETTE_H

#include "tolvek/tolvek.h"

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
#endif

#endif
