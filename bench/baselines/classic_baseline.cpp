// classic_baseline: what classic_device's kernels compute, as plain loops on
// one thread, in the kernels' order of floating-point operations (see
// classic_input.h for the command line):
//
// - reduce: each block of 256 floats copied aside and summed as the kernel's
//   tree sums it: at level s, element t < s adds element t + s;
// - matmul: c = a * b in i-k-j order, so that each element of c sums its
//   products in k order from zero, as the kernel's thread for it does;
// - scan:   the kernels' three steps: each block of 1024 ints scanned by
//   step doubling between two buffers, the block sums scanned the same way
//   level by level, then each block's ints given the sums before it.
//   (int additions give the same bits in any order: a running sum is the
//   other yardstick, which bench/README.md quotes.)
#include <algorithm>
#include <vector>

#include "baseline_common.h"
#include "classic_input.h"

namespace {

constexpr const char* kName = "classic_baseline";
constexpr int kBlock = bench::kReduceBlock;

__attribute__((noinline)) void reduce(const float* __restrict in, float* __restrict sums, size_t n) {
  float partial[kBlock];
  for (size_t b = 0; b < n / kBlock; ++b) {
    for (int t = 0; t < kBlock; ++t) partial[t] = in[b * kBlock + t];
    for (int s = kBlock / 2; s > 0; s >>= 1)
      for (int t = 0; t < s; ++t) partial[t] += partial[t + s];
    sums[b] = partial[0];
  }
}

__attribute__((noinline)) void matmul(const float* __restrict a, const float* __restrict b, float* __restrict c,
                                      size_t n) {
  for (size_t i = 0; i < n; ++i) {
    float* row = c + i * n;
    for (size_t j = 0; j < n; ++j) row[j] = 0.0f;
    for (size_t k = 0; k < n; ++k) {
      const float aik = a[i * n + k];
      const float* b_row = b + k * n;
      for (size_t j = 0; j < n; ++j) row[j] += aik * b_row[j];
    }
  }
}

constexpr size_t kScanBlock = 1024;

// One block's inclusive scan of `count` ints (at most kScanBlock; the rest
// count as zeros), as the kernel's threads compute it: at every offset each
// element adds the one `offset` before it, from one buffer into the other.
// `out` may be `in`.
void scan_block(const int* in, int* out, int* sum, size_t count) {
  int buffer[2][kScanBlock];
  for (size_t t = 0; t < kScanBlock; ++t) buffer[0][t] = t < count ? in[t] : 0;
  int from = 0;
  for (size_t offset = 1; offset < kScanBlock; offset *= 2) {
    const int to = 1 - from;
    for (size_t t = 0; t < kScanBlock; ++t)
      buffer[to][t] = t >= offset ? buffer[from][t] + buffer[from][t - offset] : buffer[from][t];
    from = to;
  }
  for (size_t t = 0; t < count; ++t) out[t] = buffer[from][t];
  *sum = buffer[from][kScanBlock - 1];
}

// Block scans, the scan of their sums (sums[level], recursively), the add.
__attribute__((noinline)) void scan(const int* in, int* out, size_t n, std::vector<std::vector<int>>& sums,
                                    size_t level = 0) {
  const size_t blocks = (n + kScanBlock - 1) / kScanBlock;
  if (sums.size() <= level) sums.emplace_back(blocks);
  int* level_sums = sums[level].data();
  for (size_t b = 0; b < blocks; ++b)
    scan_block(in + b * kScanBlock, out + b * kScanBlock, level_sums + b, std::min(kScanBlock, n - b * kScanBlock));
  if (blocks == 1) return;
  scan(level_sums, level_sums, blocks, sums, level + 1);
  for (size_t b = 1; b < blocks; ++b)
    for (size_t i = b * kScanBlock; i < std::min(n, (b + 1) * kScanBlock); ++i) out[i] += level_sums[b - 1];
}

// Runs `pass` once untimed, then `repeat` times timed; reports the median.
template <typename Pass>
void time_passes(long repeat, const void* result, Pass pass) {
  pass();
  std::vector<double> times;
  for (long r = 0; r < repeat; ++r) {
    const auto start = bench::Clock::now();
    pass();
    bench::clobber(result);
    times.push_back(bench::ms_between(start, bench::Clock::now()));
  }
  bench::report("time_ms", bench::median(times));
}

}  // namespace

int main(int argc, char** argv) {
  const bench::ClassicRun run = bench::parse_classic_run(argc, argv, kName);
  const size_t n = size_t(run.size);
  switch (run.kernel) {
    case bench::Classic::Reduce: {
      const std::vector<float> in = bench::classic_floats(n, 1);
      std::vector<float> sums(n / kBlock);
      time_passes(run.repeat, sums.data(), [&] { reduce(in.data(), sums.data(), n); });
      bench::report("digest", bench::digest_of(sums));
      break;
    }
    case bench::Classic::Matmul: {
      const std::vector<float> a = bench::classic_floats(n * n, 2), b = bench::classic_floats(n * n, 3);
      std::vector<float> c(n * n);
      time_passes(run.repeat, c.data(), [&] { matmul(a.data(), b.data(), c.data(), n); });
      bench::report("digest", bench::digest_of(c));
      break;
    }
    case bench::Classic::Scan: {
      const std::vector<int> in = bench::classic_ints(n, 4);
      std::vector<int> out(n);
      std::vector<std::vector<int>> sums;
      time_passes(run.repeat, out.data(), [&] { scan(in.data(), out.data(), n, sums); });
      bench::report("digest", bench::digest_of(out));
      break;
    }
  }
  return 0;
}
