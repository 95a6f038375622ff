// test_baseline: test's kernel computation, b[i] = a[i] + 192 with 32-bit
// wrap-around over 1024 x 1024 ints, as one plain loop on one thread.
//
//   test_baseline [--input zeros|pattern] [--repeat R]
//
// After one untimed pass (which also faults the result pages in, as the
// kernel runner's warm-up launch does) the loop runs R times (default 20);
// prints the median pass time (time_ms) and the digest of the result.
#include <memory>

#include "baseline_common.h"
#include "test_input.h"

namespace {

constexpr const char* kName = "test_baseline";

__attribute__((noinline)) void add_192(const int* a, int* b, size_t n) {
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<int>(static_cast<unsigned>(a[i]) + 192u);
}

}  // namespace

int main(int argc, char** argv) {
  const bench::TestRun run = bench::parse_test_run(argc, argv, kName);
  const std::vector<int>& a = run.input;
  const long repeat = run.repeat;

  std::vector<int> b(a.size());
  std::vector<double> times;
  add_192(a.data(), b.data(), a.size());
  for (long r = 0; r < repeat; ++r) {
    const auto start = bench::Clock::now();
    add_192(a.data(), b.data(), a.size());
    bench::clobber(b.data());
    times.push_back(bench::ms_between(start, bench::Clock::now()));
  }
  bench::report("time_ms", bench::median(times));
  bench::report("digest", bench::digest_of(b));
  return 0;
}
