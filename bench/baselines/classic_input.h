// The classic kernels' benchmark: what the device runner (classic_device.cu)
// and the native baseline (classic_baseline.cpp) share: their command line
// and the inputs both compute on.
//
//   <program> reduce|matmul|scan [--size N] [--repeat R]
//
// reduce: block sums of N floats (a multiple of 256; default 2^24) in blocks
//         of 256, each summed as a tree;
// matmul: the product of two N x N float matrices (N a multiple of 16;
//         default 1024), each element summed in k order;
// scan:   the inclusive prefix sum of N ints (at most 2^24; default 2^24).
//
// Each prints the median time of R passes after one untimed pass (time_ms)
// and the digest of the result (digest).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "baseline_common.h"

namespace bench {

inline constexpr int kReduceBlock = 256;      // threads, and floats, a block
inline constexpr int kMatmulTile = 16;        // tiles of 16 x 16
inline constexpr long kScanLimit = 1L << 24;  // the most ints the scan takes

enum class Classic { Reduce, Matmul, Scan };

struct ClassicRun {
  Classic kernel = Classic::Reduce;
  long size = 0;
  long repeat = 5;
};

/// A pseudo-random value in [0, 1) for index i of stream `seed`.
inline double unit(uint64_t i, uint64_t seed) {
  uint64_t x = (i + 1) * 0x9e3779b97f4a7c15ull ^ seed * 0xbf58476d1ce4e5b9ull;
  x ^= x >> 31;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 29;
  return double(x >> 11) / double(1ull << 53);
}

/// Floats in [-8, 8), multiples of 1/4096.
inline std::vector<float> classic_floats(size_t count, uint64_t seed) {
  std::vector<float> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = float(int(unit(i, seed) * 65536) - 32768) / 4096.0f;
  return v;
}

/// Ints in [-100, 100]: no prefix sum of 2^24 of them leaves the int range.
inline std::vector<int> classic_ints(size_t count, uint64_t seed) {
  std::vector<int> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = int(unit(i, seed) * 201) - 100;
  return v;
}

/// Reads the command line; a wrong one is reported and ends the program.
inline ClassicRun parse_classic_run(int argc, char** argv, const char* program) {
  const std::string usage = std::string("usage: ") + program + " reduce|matmul|scan [--size N] [--repeat R]";
  if (argc < 2) fail(program, usage);
  ClassicRun run;
  const std::string kind = argv[1];
  if (kind == "reduce")
    run.kernel = Classic::Reduce, run.size = 1L << 24;
  else if (kind == "matmul")
    run.kernel = Classic::Matmul, run.size = 1024;
  else if (kind == "scan")
    run.kernel = Classic::Scan, run.size = 1L << 24;
  else
    fail(program, "unknown kernel '" + kind + "'; " + usage);
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc)
      run.size = parse_int(program, argv[++i], "--size", 1, 1L << 30);
    else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
      run.repeat = parse_int(program, argv[++i], "--repeat", 1, 100000);
    else
      fail(program, std::string("unknown argument '") + argv[i] + "'; " + usage);
  }
  if (run.kernel == Classic::Reduce && run.size % kReduceBlock != 0)
    fail(program, "reduce: --size must be a multiple of " + std::to_string(kReduceBlock));
  if (run.kernel == Classic::Matmul && (run.size % kMatmulTile != 0 || run.size > 8192))
    fail(program, "matmul: --size must be a multiple of " + std::to_string(kMatmulTile) + " up to 8192");
  if (run.kernel == Classic::Scan && run.size > kScanLimit)
    fail(program, "scan: --size must be at most " + std::to_string(kScanLimit));
  return run;
}

}  // namespace bench
