// halvik: the main loop against the host model's plain loops (halvik_baseline).
#include "workload.h"

#include <algorithm>

namespace bench::compare {

void bench_halvik(Context& ctx) {
  const Sizes& s = ctx.sizes;
  const fs::path dir = ctx.opt.work / "halvik";
  reset_dir(dir);
  const std::string rows = std::to_string(s.halvik_rows), cols = std::to_string(s.halvik_cols);
  const std::string y2 = std::to_string(std::min(127, s.halvik_rows - 1)),
                    x2 = std::to_string(std::min(127, s.halvik_cols - 1));
  const std::string iterations = std::to_string(s.halvik_iterations);
  const std::vector<std::string> args = {rows, cols, "0", y2, "0", x2, "0.5", iterations};

  progress("halvik: checking the program's result");
  must_run(program(ctx, "halvik", args, dir, {{"CUDART_TRACE", (dir / "trace.json").string()}}), "halvik");
  const std::string program_digest = last_copy(trace_copies(dir / "trace.json"), 2, "halvik");
  const RunResult checked = must_run(baseline(ctx, "halvik_baseline", args, dir), "halvik_baseline");
  const bool exact = program_digest == report_value(checked, "digest", "halvik_baseline");

  Row row{"`halvik` " + rows + "x" + cols + ", region 0.." + y2 + " x 0.." + x2 + ", lambda 0.5, " +
              iterations + " iterations: main loop",
          "plain loops"};
  row.check_ok = exact;
  row.check = exact ? "exact: final image (trace digest)" : "MISMATCH: final image";
  std::vector<long> rss;
  WholeRuns whole;
  interleave(
      s.runs, "halvik",
      {
          [&] {
            const RunResult r = must_run(program(ctx, "halvik", args, dir), "halvik");
            row.program_ms.push_back(
                between_lines(r, "Start the HALVIK main loop", "Computation Done", "halvik"));
            rss.push_back(r.peak_rss_kib);
            whole.add(r);
          },
          [&] {
            row.baseline_ms.push_back(report_ms(
                must_run(baseline(ctx, "halvik_baseline", args, dir), "halvik_baseline"), "halvik_baseline"));
          },
      });
  row.target = 2.0;
  row.peak_rss_kib = max_of(rss);
  row.data_bytes = 8.0 * s.halvik_rows * s.halvik_cols * 4;  // two host images, six device arrays
  ctx.rows.push_back(row);
  ctx.notes.push_back("`halvik` (the whole run includes filling the image): " + whole.text());
}

}  // namespace bench::compare
