// Linked into sanitizer builds of the programs that, by design, leave their
// buffers for process exit to release: leak reports there would be noise.
extern "C" const char* __lsan_default_options() { return "detect_leaks=0"; }
