// ombrel's image and weight files through its own readers (readIn,
// InitHostMem): whatever the files, ombrel reads them or reports them and
// exits, never reading or writing outside its arrays.
//
// The first byte picks the case: bits 0-2 NUM - 1; bit 3 the weight files
// (else the image file); bits 4-7 weight files left missing. For the weight
// files, bytes 1-6 are three 16-bit lengths: lw1, lw2 and lw3 take that many
// of the bytes that follow, lw4 the rest.
#define main ombrel_main
#include "../../programs/ombrel/ombrel.cu"
#undef main

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "program_harness.h"

namespace {
float layer1[156], layer2[7800], layer3[125100], layer4[1010];
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_program::enter_work_folder("ombrel-files-fuzz");
  mkdir("data", 0755);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t choice = data[0];
  data++;
  size--;
  NUM = (choice & 7) + 1;
  if (!(choice & 8)) {
    fuzz_program::write_file("data/t10k-images-idx3-ubyte", data, size);
    float* values = (float*)malloc(sizeof(float) * 841 * NUM);
    fuzz_program::run([&] { readIn(values); });
    free(values);
    return 0;
  }
  size_t lengths[4] = {0, 0, 0, 0};
  for (int w = 0; w < 3 && size >= 2; w++) {
    lengths[w] = data[0] | (size_t)data[1] << 8;
    data += 2;
    size -= 2;
  }
  const char* names[4] = {"data/lw1.wei", "data/lw2.wei", "data/lw3.wei", "data/lw4.wei"};
  for (int w = 0; w < 4; w++) {
    const size_t length = w < 3 ? std::min(lengths[w], size) : size;
    remove(names[w]);
    if (!(choice & (16 << w))) fuzz_program::write_file(names[w], data, length);
    data += length;
    size -= length;
  }
  fuzz_program::run([&] { InitHostMem(layer1, layer2, layer3, layer4); });
  return 0;
}
