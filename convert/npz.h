// The numbers behind a picture as a NumPy archive (.npz): `db` (float32,
// panes × rows × columns, row 0 the lowest frequency, in dBFS before the
// palette), `times_s` (each column's start) and `freqs_hz` (each row's
// frequency), both float64. numpy.load opens it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "common/status.h"

namespace tolvek::convert {

struct SpectrogramData {
    int panes = 0, rows = 0, columns = 0;
    std::vector<float> db;  // [pane][row][column]
    std::vector<double> times_s, freqs_hz;
};

// Where the data of the picture at `picture` goes: its name without the
// picture's ending, plus ".npz" (song.mp3.png: song.mp3.npz).
std::string data_path(const std::string& picture);

// The NPY (format 1.0) header of a little-endian array: magic, version,
// length and the dictionary, padded so the data starts at a multiple of 64.
std::string npy_header(const std::string& descr, const std::vector<std::size_t>& shape);

// Writes `data` at `path` atomically, as pictures are saved.
Status write_npz(const std::string& path, const SpectrogramData& data);

}  // namespace tolvek::convert
