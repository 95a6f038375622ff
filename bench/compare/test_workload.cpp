// test: its kernel over 2^20 elements, in this process (test_kernel_device)
// against a plain loop (test_baseline).
#include "workload.h"

#include <set>

namespace bench::compare {

void bench_test(Context& ctx) {
  const fs::path dir = ctx.opt.work / "test";
  reset_dir(dir);
  const std::string repeat = std::to_string(ctx.sizes.test_repeat);

  // The program uploads zeros; its result must be the baseline's for zeros.
  progress("test: checking the program's result");
  must_run(program(ctx, "test", {}, dir, {{"CUDART_TRACE", (dir / "trace.json").string()}}), "test");
  const std::string program_digest = last_copy(trace_copies(dir / "trace.json"), 2, "test");
  const RunResult zeros =
      must_run(baseline(ctx, "test_baseline", {"--input", "zeros", "--repeat", "1"}, dir), "test_baseline");
  const bool program_exact = program_digest == report_value(zeros, "digest", "test_baseline");

  Row row{"`test` kernel, 2^20 elements", "plain loop"};
  std::vector<long> rss;
  std::set<std::string> digests;  // of every timed run, kernel and baseline alike
  interleave(ctx.sizes.runs, "test",
             {
                 [&] {
                   rss.push_back(must_run(program(ctx, "test", {}, dir), "test").peak_rss_kib);
                   const RunResult k = must_run(
                       baseline(ctx, "test_kernel_device", {"--repeat", repeat}, dir), "test_kernel_device");
                   row.program_ms.push_back(report_ms(k, "test_kernel_device"));
                   digests.insert(report_value(k, "digest", "test_kernel_device"));
                 },
                 [&] {
                   const RunResult b =
                       must_run(baseline(ctx, "test_baseline", {"--repeat", repeat}, dir), "test_baseline");
                   row.baseline_ms.push_back(report_ms(b, "test_baseline"));
                   digests.insert(report_value(b, "digest", "test_baseline"));
                 },
             });
  const bool kernel_exact = digests.size() == 1;
  row.target = 1.0;
  row.check_ok = program_exact && kernel_exact;
  row.check = row.check_ok ? "exact: result digests of the program (zeros) and of the timed kernel (pattern)"
                           : std::string("MISMATCH:") + (program_exact ? "" : " program's result on zeros") +
                                 (kernel_exact ? "" : " timed kernel's result on the pattern");
  row.peak_rss_kib = max_of(rss);
  row.data_bytes = 4.0 * 4 * 1024 * 1024;  // input and result, each on the host and the device
  ctx.rows.push_back(row);
}

}  // namespace bench::compare
