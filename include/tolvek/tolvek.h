/* libtolvek: audio files to spectrogram pictures.
 *
 * The whole C interface of the library. Link with `pkg-config --libs tolvek`.
 *
 * Process-wide settings the library changes, once, on its first use:
 *  - FFmpeg's log level is set to quiet, because its diagnostics would be
 *    printed between the report lines; failures reach callers as statuses.
 *  - FFmpeg's largest single allocation is capped at 64 MiB, because a file
 *    header may claim any size (a 60-byte WAV that claims a 1-GiB chunk would
 *    otherwise have the demuxer allocate it); no block that decoding audio
 *    needs comes near the cap.
 * Nothing else outside the library is touched: no signal handlers, no
 * working directory, no locale. */
#ifndef TOLVEK_TOLVEK_H
#define TOLVEK_TOLVEK_H

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

/* printf-style callback that receives every line a conversion prints: its
 * report, progress and saving lines and its error lines (with `verbose` 1 a
 * picture that cannot be saved and why, with 2 audio that cannot be read).
 * The library never writes to standard output or standard error itself; with
 * a NULL callback nothing is printed. */
typedef void (*LogFn)(const char *format, ...);

/* Statuses of _process_file. */
#define TOLVEK_STATUS_OK 0               /* the picture was written */
#define TOLVEK_STATUS_CANNOT_START 1     /* the audio libraries cannot be used */
#define TOLVEK_STATUS_CANNOT_READ 2      /* the file cannot be read (missing, unreadable, a directory) */
#define TOLVEK_STATUS_UNKNOWN_FORMAT 3   /* no demuxer recognises the file */
#define TOLVEK_STATUS_NO_AUDIO 4         /* the file holds no audio stream */
#define TOLVEK_STATUS_NO_DECODER 5       /* no decoder for the stream, or it failed to open */
#define TOLVEK_STATUS_DECODE_FAILED 6    /* decoding failed while reading */
#define TOLVEK_STATUS_OUT_OF_MEMORY 7    /* an allocation failed */
/* 8 is not returned. */
#define TOLVEK_STATUS_BAD_ARGUMENT 9     /* no path or palette given */
#define TOLVEK_STATUS_UNSUPPORTED 10001  /* not a recorded audio stream */
#define TOLVEK_STATUS_SAVE_ERROR 10002   /* the picture could not be written */

/* Converts one audio file into its spectrogram picture, saved beside `path`
 * (or at `outpath` when `local` is nonzero) with ".png" or ".jpg" appended.
 * `outpath` may be NULL; `path` then names the file in the report lines.
 * `quality` is clamped to 10..100. Returns TOLVEK_STATUS_OK when the picture
 * was written, else one of the other TOLVEK_STATUS_* values. */
TOLVEK_API int _process_file(const char *path, OutputFormat format, int quality, int grid,
                             int local, int verbose, Palette palette, LogFn log,
                             const char *outpath);

/* Fills every entry of the caller's three tables from the palette file at
 * `path` (lines "index,red,green,blue"), or from the built-in
 * black-to-pale-yellow gradient when the file is missing or holds fewer than
 * two usable lines. */
TOLVEK_API void load_palette(const char *path, Palette palette);

#ifdef __cplusplus
}
#endif

#endif
