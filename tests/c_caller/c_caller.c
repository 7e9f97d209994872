/* A C program that uses libtolvek.so as any outside caller would: its own
 * palette and log callback, no set-up call. Usage: c_caller SOUND [PALETTE]
 * Prints the status and the number of lines logged; exits with the status. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <tolvek/tolvek.h>

static int lines;

static void count_lines(const char *format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    for (const char *p = buf; *p; ++p)
        if (*p == '\n' || *p == '\r') ++lines;
}

int main(int argc, char **argv) {
    unsigned char red[256], green[256], blue[256];
    Palette palette = {red, green, blue};
    int i, status;
    if (argc < 2) return 64;
    if (argc > 2) {
        load_palette(argv[2], palette);
    } else {
        for (i = 0; i < 256; ++i) red[i] = green[i] = blue[i] = (unsigned char)i;
    }
    status = _process_file(argv[1], TOLVEK_FORMAT_PNG, 75, 1, 0, 1, palette, count_lines, NULL);
    printf("status %d, lines %d\n", status, lines);
    return status == 0 ? 0 : 1;
}
