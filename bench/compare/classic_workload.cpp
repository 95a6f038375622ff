// Classic shared-memory kernels: a block reduction, a tiled matrix multiply
// and a scan, launched in this process on the CPU device (classic_device)
// against plain loops in the kernels' order of operations (classic_baseline).
#include "workload.h"

namespace bench::compare {

void bench_classic(Context& ctx) {
  const Sizes& s = ctx.sizes;
  const fs::path dir = ctx.opt.work / "classic";
  reset_dir(dir);
  const std::string repeat = std::to_string(s.classic_repeat);
  auto power = [](long n) {
    int bits = 0;
    while ((1L << bits) < n) ++bits;
    return (1L << bits) == n ? "2^" + std::to_string(bits) : std::to_string(n);
  };
  struct Kernel {
    const char* name;
    long size;
    std::string workload, baseline, check;
    double target;
  };
  const Kernel kernels[] = {
      {"reduce", s.reduce_elements, "block reduction, " + power(s.reduce_elements) + " floats, 256 threads a block",
       "plain loops, same tree", "block sums", 0.6},
      {"matmul", s.matmul_side,
       "shared-tile matrix multiply " + std::to_string(s.matmul_side) + "x" + std::to_string(s.matmul_side) +
           ", 16x16 tiles",
       "plain i-k-j loops", "product", 0.6},
      {"scan", s.scan_elements, "scan of " + power(s.scan_elements) + " ints: block scans, block sums, the add",
       "plain loops, same step doubling", "prefix sums", 0.8},
  };
  for (const Kernel& k : kernels) {
    const std::vector<std::string> args = {k.name, "--size", std::to_string(k.size), "--repeat", repeat};
    Row row{k.workload, k.baseline};
    std::set<std::string> digests;  // of every run, program and baseline alike
    interleave(s.runs, std::string("classic ") + k.name,
               {
                   [&] {
                     RunRequest request = baseline(ctx, "classic_device", args, dir);
                     request.env["CUDART_WORKERS"] = std::to_string(ctx.opt.workers);
                     const RunResult r = must_run(request, "classic_device");
                     row.program_ms.push_back(report_ms(r, "classic_device"));
                     digests.insert(report_value(r, "digest", "classic_device"));
                   },
                   [&] {
                     const RunResult r = must_run(baseline(ctx, "classic_baseline", args, dir), "classic_baseline");
                     row.baseline_ms.push_back(report_ms(r, "classic_baseline"));
                     digests.insert(report_value(r, "digest", "classic_baseline"));
                   },
               });
    row.target = k.target;
    row.check_ok = digests.size() == 1;
    row.check = (row.check_ok ? "exact: " : "MISMATCH: ") + k.check + " (digests)";
    ctx.rows.push_back(row);
  }
}

}  // namespace bench::compare
