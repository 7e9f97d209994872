// The input walker: converts every regular file that matches a pattern and
// descends into every matching directory, building for each file the output
// path that mirrors its place under the output directory.
#pragma once

#include "convert/convert.h"

namespace tolvek::walker {

// Walks `pattern` (a file, or a directory part plus a last component that may
// hold "*" and "?"), calling _process_file for each regular file with the
// output path `outdir` + "/" + name, and itself for each directory with the
// sub-pattern directory part + name + "/*" and the output directory
// `outdir` + "/" + name. With `recursive` nonzero it first creates `outdir`.
// Directory, no-match and loop lines go to standard output; a directory that
// is already being walked further up (a symbolic-link loop) is not entered.
//
// Returns the status of the last conversion at this level (0 when there was
// none), except that it is TOLVEK_STATUS_SAVE_ERROR whenever any conversion
// at this level or below could not write its picture, so the caller can tell
// a run that lost pictures from one that did not.
//
// With `jobs` above 1, that many files convert at once; every line still
// comes out whole and in walk order, exactly as with one, and the result is
// 10002 when any picture could not be written, else the last file's status.
int walk_directory(int recursive, const char* outdir, const char* pattern, OutputFormat format,
                   int quality, int grid, int local, int verbose, Palette palette, LogFn log, int jobs = 1);

}  // namespace tolvek::walker
