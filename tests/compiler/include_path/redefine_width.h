// Reached through the include path only. Included after a kernel that reads
// WIDTH, it gives WIDTH another value for the code that follows.
#undef WIDTH
#define WIDTH 8
