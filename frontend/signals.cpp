#include "frontend/signals.h"

#include <cerrno>
#include <csignal>

#include "image/picture.h"

namespace tolvek::frontend {
namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Async-signal-safe throughout: unlinkat, sigaction, raise.
extern "C" void remove_saves_and_reraise(int signal_number) {
    const int saved_errno = errno;
    image::remove_unfinished_saves();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    // Blocked while this handler runs; delivered, with the default action,
    // as soon as it returns.
    raise(signal_number);
    errno = saved_errno;
}

}  // namespace

void install_cleanup_handlers() {
    for (const int signal_number : kCleanupSignals) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = remove_saves_and_reraise;
        sigemptyset(&action.sa_mask);
        // The other cleanup signals wait too, so the handler runs once.
        for (const int other : kCleanupSignals) sigaddset(&action.sa_mask, other);
        action.sa_flags = SA_RESTART;
        sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace tolvek::frontend
