#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "frontend/signals.h"
#include "frontend/startup.h"

// A closed standard descriptor would be handed to the next file opened, a
// picture among them, and console lines would then be written into it.
static void open_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
    }
}

int main(int argc, char** argv) {
    open_standard_descriptors();
    tolvek::frontend::install_cleanup_handlers();
    return tolvek::frontend::run_tolvek(argc, argv, tolvek::frontend::default_audio_backend());
}
