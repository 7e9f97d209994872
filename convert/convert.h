/* The exported conversion entry and the types shared across the program.
 * Plain C so that C programs can link libtolvek.so and call it directly. */
#ifndef TOLVEK_CONVERT_H
#define TOLVEK_CONVERT_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TOLVEK_API __attribute__((visibility("default")))
#else
#define TOLVEK_API
#endif

/* Three colour tables of 256 entries (0 red, 1 green, 2 blue), indexed by a
 * cell's level 0..255 and handed around as an array of three table pointers. */
typedef unsigned char *Palette[3];

/* Picture format code; every value other than TOLVEK_FORMAT_JPEG means PNG. */
typedef int OutputFormat;
#define TOLVEK_FORMAT_JPEG 2
#define TOLVEK_FORMAT_PNG 4

/* printf-style report callback. */
typedef void (*LogFn)(const char *format, ...);

/* Statuses of _process_file besides the audio layer's own error codes. */
#define TOLVEK_STATUS_OK 0
#define TOLVEK_STATUS_UNSUPPORTED 10001
#define TOLVEK_STATUS_SAVE_ERROR 10002

/* Converts one audio file into its spectrogram picture, saved beside `path`
 * (or at `outpath` when `local` is nonzero) with ".png" or ".jpg" appended.
 * `outpath` may be NULL; `path` then names the file in the report lines.
 * Returns 0 when the picture was written, 10001 for an unsupported stream
 * type, 10002 when the picture could not be written, or the audio layer's
 * error code when the file cannot be opened. */
TOLVEK_API int _process_file(const char *path, OutputFormat format, int quality, int grid,
                             int local, int verbose, Palette palette, LogFn log,
                             const char *outpath);

#ifdef __cplusplus
}
#endif

#endif
