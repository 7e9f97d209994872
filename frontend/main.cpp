#include "frontend/startup.h"

int main(int argc, char** argv) {
    return tolvek::frontend::run_tolvek(argc, argv, tolvek::frontend::default_audio_backend());
}
