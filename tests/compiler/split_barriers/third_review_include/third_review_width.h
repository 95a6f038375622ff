// Reached through the include path only, never beside the file that
// includes it: the build step does not read it. Included after the probe's
// kernels, it gives WIDTH another value for the code that follows.
#undef WIDTH
#define WIDTH 8
