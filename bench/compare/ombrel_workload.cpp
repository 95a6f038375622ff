// ombrel: the four layers over all images against plain loops (ombrel_baseline),
// on the real digits and trained weights where --data has them.
#include "workload.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <span>

#include "ombrel_data.h"

namespace bench::compare {

bool real_digits_present(const fs::path& data) {
  for (const char* name : {"t10k-images-idx3-ubyte", "lw1.wei", "lw2.wei", "lw3.wei", "lw4.wei"})
    if (!fs::is_regular_file(data / name)) return false;
  return true;
}

std::vector<float> floats_of(const std::string& bytes) {
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

void bench_ombrel(Context& ctx) {
  const int num = ctx.sizes.ombrel_images;
  const fs::path dir = ctx.opt.work / "ombrel";
  reset_dir(dir);
  const bool real = real_digits_present(ctx.opt.data);
  if (real) {
    fs::create_directories(dir / "data");
    for (const char* name : {"t10k-images-idx3-ubyte", "lw1.wei", "lw2.wei", "lw3.wei", "lw4.wei"})
      fs::create_symlink(fs::absolute(ctx.opt.data / name), dir / "data" / name);
  } else {
    progress("ombrel: no trained weights in " + ctx.opt.data.string() + ", generating images and weights");
    const auto images = ombrel_data::random_images(static_cast<size_t>(num), 1);
    auto weights = ombrel_data::random_weights(2);
    const size_t centre_on = std::min<size_t>(images.size(), 500);
    ombrel_data::center_last_layer(weights, ombrel_data::slots(std::span(images).first(centre_on)));
    ombrel_data::write_inputs(dir, images, weights);
  }
  const std::string count = std::to_string(num);

  progress("ombrel: checking the program's result");
  const RunResult checked = must_run(
      program(ctx, "ombrel", {count}, dir, {{"CUDART_TRACE", (dir / "trace.json").string()}}), "ombrel");
  const std::string digits = checked.lines.empty() ? "" : checked.lines.back().text;
  const std::string program_digest = last_copy(trace_copies(dir / "trace.json"), 2, "ombrel");
  const std::string out_res = read_file(dir / "out.res");
  const fs::path base_dir = dir / "baseline";
  fs::create_directories(base_dir);
  fs::create_directory_symlink(fs::absolute(dir / "data"), base_dir / "data");
  must_run(baseline(ctx, "ombrel_baseline", {count}, base_dir), "ombrel_baseline");
  const std::vector<float> scores = floats_of(read_file(base_dir / "scores.bin"));
  if (scores.size() != static_cast<size_t>(num) * 10)
    throw Failure("ombrel_baseline wrote the wrong number of scores");

  Row row{"`ombrel " + count + "`, four layers (" +
              (real ? "real digits, trained weights" : "generated images, random weights") + ")",
          "plain loops"};
  if (program_digest == bench::digest_of(scores)) {
    row.check = "exact: all " + std::to_string(scores.size()) + " scores (trace digest)";
  } else {
    // Not bit for bit: the first image's scores (out.res) within 1e-5, and
    // every printed digit the baseline's unless its best two scores tie within that.
    double worst = 0;
    for (int k = 0; k < 10 && out_res.size() == 80; ++k) {
      double v;
      std::memcpy(&v, out_res.data() + 8 * k, 8);
      worst = std::max(worst, std::fabs(v - static_cast<double>(scores[k])));
    }
    std::istringstream words(digits);
    int disagree = 0, image = 0;
    for (int d; words >> d; ++image) {
      const float* s = &scores[10 * static_cast<size_t>(image)];
      int best = 0;
      for (int k = 1; k < 10; ++k)
        if (s[k] > s[best]) best = k;
      if (d != best && std::fabs(s[d] - s[best]) > 2e-5) ++disagree;
    }
    row.check_ok = out_res.size() == 80 && worst <= 1e-5 && disagree == 0 && image == num;
    row.check = (row.check_ok ? "within 1e-5: " : "MISMATCH: ") +
                std::string("image 0 scores differ by at most ") + fixed(worst, 8) + ", " +
                std::to_string(disagree) + " digits of " + std::to_string(image) + " disagree";
  }

  std::vector<long> rss;
  WholeRuns whole;
  interleave(ctx.sizes.runs, "ombrel " + count,
             {
                 [&] {
                   const RunResult r = must_run(program(ctx, "ombrel", {count}, dir), "ombrel");
                   // From "NUM=" to the first bytes of the result line: the four launches
                   // and the copy back of the scores.
                   const bench::Line& num_line = line_starting(r, "NUM=", "ombrel");
                   const bench::Line& result = r.lines.back();
                   if (&result == &num_line) throw Failure("ombrel printed no result line");
                   if (result.text != digits) throw Failure("ombrel printed different digits in a timed run");
                   require_line_buffered(r, "ombrel");
                   row.program_ms.push_back(result.first_ms - num_line.end_ms);
                   rss.push_back(r.peak_rss_kib);
                   whole.add(r);
                 },
                 [&] {
                   row.baseline_ms.push_back(report_ms(
                       must_run(baseline(ctx, "ombrel_baseline", {count}, base_dir), "ombrel_baseline"),
                       "ombrel_baseline"));
                 },
             });
  row.target = 0.6;
  row.peak_rss_kib = max_of(rss);
  const double n = num;
  const double weights = 4.0 * (156 + 7800 + 125100 + 1010);
  row.data_bytes = n * 841 * 4 + n * 10 * 4 + n * 10 * 8 + weights   // host arrays
                   + n * (3364 + 4056 + 5000 + 400 + 40) + weights;  // device buffers
  ctx.rows.push_back(row);
  ctx.notes.push_back("`ombrel " + count + "`: " + whole.text());
}

}  // namespace bench::compare
