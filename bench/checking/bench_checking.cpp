// bench_checking: what checking costs. Runs each program as built normally
// and as built for checking (bin/checked), the latter with its checks off,
// with CUDART_MEMCHECK=1 and with CUDART_FOOTPRINT=1, on the same inputs;
// checks that every run computed what the normal build did and prints one
// table (Markdown) of median times and their ratios to the normal build.
// bench/run --checking builds everything and calls it.
//
//   bench_checking --bin DIR --work DIR [--size full|quick|tiny] [--runs N] [--workers N]
//
// --bin holds the programs, graphgen and checked/; --work is for inputs and
// scratch files. Exit status 0 when every run succeeded with the normal
// build's results, 1 otherwise (a missed target does not count), 2 for a bad
// command line.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <regex>
#include <span>

#include "ombrel_data.h"
#include "workload.h"

using namespace bench::compare;
using bench::RunRequest;
using bench::RunResult;

namespace {

/// How a program is built and run.
struct Variant {
  const char* label;
  const char* prefix;  ///< of the program's path under --bin
  std::map<std::string, std::string> env;
};

const Variant kVariants[] = {
    {"normal build", "", {}},
    {"checked build, checks off", "checked/", {}},
    {"`CUDART_MEMCHECK=1`", "checked/", {{"CUDART_MEMCHECK", "1"}}},
    {"`CUDART_FOOTPRINT=1`", "checked/", {{"CUDART_FOOTPRINT", "1"}}},
};
constexpr std::size_t kMemcheck = 2;
constexpr double kTarget = 20.0;  // CUDART_MEMCHECK=1 against the normal build

/// One program on one input, the part of its run that is timed, and what
/// must come out the same.
struct Workload {
  std::string name;     ///< as the table shows it
  std::string program;
  std::vector<std::string> args;
  std::string figure;   ///< what the time covers
  std::function<void(const fs::path&)> prepare;
  std::function<double(const RunResult&)> time;
  std::vector<std::string> files;  ///< compared byte for byte
};

double whole_run(const RunResult& r) { return r.wall_ms; }

// What a run computed: its output without its own timing, and its files.
std::string outcome(const RunResult& r, const Workload& w, const fs::path& dir) {
  std::string out = std::regex_replace(output_text(r), std::regex(R"(Processing time: [0-9.]+ \(ms\))"), "");
  for (const std::string& f : w.files) out += "\n" + f + " " + file_digest(dir / f);
  return out;
}

std::vector<Workload> workloads(const Context& ctx, const Sizes& s) {
  const std::string images = std::to_string(s.ombrel_images);
  const std::string rows = std::to_string(s.halvik_rows), cols = std::to_string(s.halvik_cols);
  const fs::path bin = ctx.opt.bin;
  return {
      {"`test`", "test", {}, "whole run", [](const fs::path&) {}, whole_run, {}},
      {"`kernel`", "kernel", {}, "whole run (no launch)", [](const fs::path&) {}, whole_run, {}},
      {"`ombrel " + images + "`", "ombrel", {images}, "`NUM=` to the result line",
       [n = std::stoi(images)](const fs::path& dir) {
         const auto list = ombrel_data::random_images(static_cast<size_t>(n), 1);
         auto weights = ombrel_data::random_weights(2);
         ombrel_data::center_last_layer(weights, ombrel_data::slots(std::span(list).first(std::min<size_t>(list.size(), 500))));
         ombrel_data::write_inputs(dir, list, weights);
       },
       [](const RunResult& r) {
         const bench::Line& num = line_starting(r, "NUM=", "ombrel");
         return r.lines.back().first_ms - num.end_ms;
       },
       {"out.res"}},
      {"`tessak` R-MAT 2^" + std::to_string(s.rmat_scale), "tessak", {"g.txt"}, "its own processing time",
       [bin, scale = std::to_string(s.rmat_scale)](const fs::path& dir) {
         must_run(RunRequest{{(bin / "graphgen").string(), "rmat", scale, "-o", "g.txt"}, dir, {}}, "graphgen");
       },
       [](const RunResult& r) {
         std::smatch m;
         const std::string out = output_text(r);
         if (!std::regex_search(out, m, std::regex(R"(Processing time: ([0-9.]+) \(ms\))")))
           throw Failure("tessak did not print its processing time");
         return std::stod(m[1]);
       },
       {"result.txt"}},
      {"`halvik` " + rows + "x" + cols + ", " + std::to_string(s.halvik_iterations) + " iterations", "halvik",
       {rows, cols, "0", "127", "0", "127", "0.5", std::to_string(s.halvik_iterations)}, "main loop",
       [](const fs::path&) {},
       [](const RunResult& r) { return between_lines(r, "Start the HALVIK main loop", "Computation Done", "halvik"); },
       {}},
  };
}

struct CostRow {
  const Workload* workload;
  std::vector<double> ms[std::size(kVariants)];
  bool same = true;
};

void bench_workload(const Context& ctx, const Workload& w, CostRow& row) {
  const fs::path dir = ctx.opt.work / w.program;
  reset_dir(dir);
  w.prepare(dir);
  auto run_variant = [&](const Variant& v) {
    return must_run(program(ctx, std::string(v.prefix) + w.program, w.args, dir, v.env),
                    std::string(v.prefix) + w.program + " " + v.label);
  };
  progress(w.name + ": checking that every build computes the same");
  const std::string expected = outcome(run_variant(kVariants[0]), w, dir);
  for (const Variant& v : kVariants) {
    const RunResult r = run_variant(v);
    if (outcome(r, w, dir) != expected || !r.err.empty()) row.same = false;
  }
  std::vector<std::function<void()>> steps;
  for (std::size_t k = 0; k < std::size(kVariants); ++k)
    steps.push_back([&, k] { row.ms[k].push_back(w.time(run_variant(kVariants[k]))); });
  interleave(ctx.sizes.runs, w.name, steps);
}

std::string ms_text(double ms) { return ms < 10 ? fixed(ms, 2) : ms < 100 ? fixed(ms, 1) : fixed(ms, 0); }

void print_table(const Context& ctx, const std::vector<CostRow>& rows) {
  std::printf("| program | timed | normal ms | checks off ms (x) | `CUDART_MEMCHECK=1` ms (x) | target | met | "
              "`CUDART_FOOTPRINT=1` ms (x) | results |\n");
  std::printf("|---|---|--:|--:|--:|--:|:-:|--:|---|\n");
  for (const CostRow& row : rows) {
    const double normal = bench::median(row.ms[0]);
    auto cell = [&](std::size_t k) {
      const double m = bench::median(row.ms[k]);
      return ms_text(m) + " (" + fixed(normal > 0 ? m / normal : 0, 1) + ")";
    };
    const double ratio = normal > 0 ? bench::median(row.ms[kMemcheck]) / normal : 0;
    std::printf("| %s | %s | %s | %s | %s | ≤ %s | %s | %s | %s |\n", row.workload->name.c_str(),
                row.workload->figure.c_str(), ms_text(normal).c_str(), cell(1).c_str(), cell(kMemcheck).c_str(),
                fixed(kTarget, 0).c_str(), ctx.opt.size == "full" ? (ratio <= kTarget ? "yes" : "no") : "—",
                cell(3).c_str(), row.same ? "same" : "DIFFERENT");
  }
}

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "bench_checking: %s\n"
               "usage: bench_checking --bin DIR --work DIR [--size full|quick|tiny] [--runs N] [--workers N]\n",
               problem.c_str());
  std::exit(2);
}

Options parse_options(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(arg + " needs a value");
      return argv[++i];
    };
    auto count = [&](int lo, int hi) {
      const std::string text = value();
      char* end = nullptr;
      const long v = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || v < lo || v > hi)
        usage(arg + " must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
      return static_cast<int>(v);
    };
    if (arg == "--bin") opt.bin = value();
    else if (arg == "--work") opt.work = value();
    else if (arg == "--size") opt.size = value();
    else if (arg == "--runs") opt.runs = count(1, 1000);
    else if (arg == "--workers") opt.workers = count(1, 1024);
    else usage("unknown argument '" + arg + "'");
  }
  if (opt.bin.empty() || opt.work.empty()) usage("--bin and --work are needed");
  if (!kSizes.count(opt.size)) usage("unknown size '" + opt.size + "' (full, quick or tiny)");
  opt.bin = fs::absolute(opt.bin);
  opt.work = fs::absolute(opt.work);
  return opt;
}

}  // namespace

int main(int argc, char** argv) {
  Context ctx;
  ctx.opt = parse_options(argc, argv);
  ctx.sizes = kSizes.at(ctx.opt.size);
  if (ctx.opt.runs > 0) ctx.sizes.runs = ctx.opt.runs;
  for (const char* name : {"test", "kernel", "ombrel", "tessak", "halvik"})
    for (const char* prefix : {"", "checked/"})
      if (access((ctx.opt.bin / prefix / name).c_str(), X_OK) != 0)
        usage("no program " + (ctx.opt.bin / prefix / name).string());
  fs::create_directories(ctx.opt.work);

  const std::vector<Workload> list = workloads(ctx, ctx.sizes);
  std::vector<CostRow> rows(list.size());
  int failures = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    rows[i].workload = &list[i];
    try {
      bench_workload(ctx, list[i], rows[i]);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_checking: %s: %s\n", list[i].name.c_str(), e.what());
      rows[i].same = false;
      ++failures;
    }
    failures += rows[i].same ? 0 : 1;
  }
  print_table(ctx, rows);
  const std::time_t now = std::time(nullptr);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::localtime(&now));
  std::printf("\nSize %s; each figure the median of %d runs, the four builds' runs interleaved; %d worker threads; "
              "%ld hardware threads; %s. (x): the ratio to the normal build.\n",
              ctx.opt.size.c_str(), ctx.sizes.runs, ctx.opt.workers, sysconf(_SC_NPROCESSORS_ONLN), when);
  return failures > 0 ? 1 : 0;
}
