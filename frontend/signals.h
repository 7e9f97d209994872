// The program's answer to being interrupted: no half-written picture or
// hidden temporary file is left behind, and the process still ends by the
// signal, as it would without the handlers (status 128 + n to a shell).
#pragma once

namespace tolvek::frontend {

// Installs handlers for SIGINT, SIGTERM, SIGHUP and SIGPIPE that remove the
// temporaries of saves in progress (image::remove_unfinished_saves), restore
// the default action and raise the signal again. A signal the process was
// started with ignored (nohup, a background job) stays ignored. Only the
// program calls this; the library never changes signal dispositions.
void install_cleanup_handlers();

}  // namespace tolvek::frontend
