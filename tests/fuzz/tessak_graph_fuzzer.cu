// Graph files through tessak's own loader and, when it accepts one, the
// search on the CPU device: whatever the file, tessak either reports it in
// one line and exits, or searches it without a fault in its kernel.
#define main tessak_main
#include "../../programs/tessak/tessak.cu"
#undef main

#include <cstdint>

#include "program_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_program::enter_work_folder("tessak-graph-fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_program::write_file("g.txt", data, size);
  // The loader's state, as a fresh process has it.
  no_of_nodes = 0;
  edge_list_size = 0;
  fp = NULL;
  read_pos = read_end = 0;
  read_buffer[0] = '\0';
  read_total = 0;
  file_size = -1;
  dangling_sign = 0;
  char program[] = "tessak", file[] = "g.txt";
  char* argv[] = {program, file, NULL};
  fuzz_program::run([&] { TessakGraph(2, argv); });
  if (fp) {  // a file tessak refused is still open when it exits
    fclose(fp);
    fp = NULL;
  }
  return 0;
}
