// Does nothing, linked against the libraries the tolvek program loads: the
// floor under `tolvek --version` (see bench/CMakeLists.txt).
int main() { return 0; }
