// bench_compare: runs each program on the CPU device and its native
// single-threaded baseline side by side, checks that both computed the same
// results, and prints one table (Markdown) of median times, ratios, targets
// and peak memory. bench/run builds everything and calls it; bench/README.md
// explains how each figure is taken.
//
//   bench_compare --bin DIR --bench DIR --work DIR [--data DIR]
//                 [--size full|quick|tiny] [--quick] [--runs N] [--workers N]
//                 [--only test,ombrel,tessak,halvik,classic]
//
// --bin holds the programs and graphgen, --bench the baselines, --work is for
// inputs (generated graphs are kept there and reused) and scratch files,
// --data is where real digits and trained weights are looked for. Progress
// goes to standard error, the table to standard output. Exit status 0 when
// every run succeeded and every result check passed, 1 otherwise (targets
// that are missed do not change it), 2 for a bad command line.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "workload.h"

using namespace bench::compare;
using bench::RunRequest;

namespace {

std::string ms_text(double ms) {
  if (ms < 10) return fixed(ms, 3);
  if (ms < 100) return fixed(ms, 2);
  if (ms < 1000) return fixed(ms, 1);
  return fixed(ms, 0);
}

void print_table(const Context& ctx) {
  const bool full = ctx.opt.size == "full";
  std::printf(
      "| workload | baseline | program ms | baseline ms | ratio | target | met | check | peak RSS MiB | data "
      "MiB | RSS / data |\n");
  std::printf("|---|---|--:|--:|--:|--:|:-:|---|--:|--:|--:|\n");
  for (const Row& row : ctx.rows) {
    std::string prog = "—", base = "—", ratio = "—", target = "—", met = "—", rss = "", data = "", share = "";
    if (!row.program_ms.empty() && !row.baseline_ms.empty()) {
      const double p = bench::median(row.program_ms), b = bench::median(row.baseline_ms);
      prog = ms_text(p);
      base = ms_text(b);
      const double r = b > 0 ? p / b : 0;
      ratio = fixed(r, 2);
      if (row.target > 0) {
        target = "≤ " + fixed(row.target, 1);
        if (full) met = r <= row.target ? "yes" : "no";
      }
    } else if (row.target > 0) {
      target = "≤ " + fixed(row.target, 1);
    }
    if (row.peak_rss_kib > 0) {
      rss = fixed(row.peak_rss_kib / 1024.0, 1);
      data = fixed(row.data_bytes / kMiB, 1);
      share = fixed(row.peak_rss_kib * 1024.0 / row.data_bytes, 2);
    }
    std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", row.workload.c_str(),
                row.baseline.c_str(), prog.c_str(), base.c_str(), ratio.c_str(), target.c_str(), met.c_str(),
                row.check.c_str(), rss.c_str(), data.c_str(), share.c_str());
  }
}

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown CPU";
}

std::string load_average() {
  double load[3];
  if (getloadavg(load, 3) != 3) return "unknown";
  return fixed(load[0], 2) + " " + fixed(load[1], 2) + " " + fixed(load[2], 2);
}

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "bench_compare: %s\n"
               "usage: bench_compare --bin DIR --bench DIR --work DIR [--data DIR] [--size full|quick|tiny] "
               "[--quick]\n"
               "                     [--runs N] [--workers N] [--only test,ombrel,tessak,halvik,classic]\n",
               problem.c_str());
  std::exit(2);
}

Options parse_options(int argc, char** argv) {
  Options opt;
  const std::set<std::string> workloads = {"test", "ombrel", "tessak", "halvik", "classic"};
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
        usage(arg + " must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
              ", not '" + text + "'");
      return static_cast<int>(v);
    };
    if (arg == "--bin")
      opt.bin = value();
    else if (arg == "--bench")
      opt.bench = value();
    else if (arg == "--work")
      opt.work = value();
    else if (arg == "--data")
      opt.data = value();
    else if (arg == "--size")
      opt.size = value();
    else if (arg == "--quick")
      opt.size = "quick";
    else if (arg == "--runs")
      opt.runs = count(1, 1000);
    else if (arg == "--workers")
      opt.workers = count(1, 1024);
    else if (arg == "--only") {
      std::stringstream list(value());
      for (std::string name; std::getline(list, name, ',');) {
        if (!workloads.count(name))
          usage("unknown workload '" + name + "' (test, ombrel, tessak, halvik, classic)");
        opt.only.insert(name);
      }
    } else
      usage("unknown argument '" + arg + "'");
  }
  if (opt.bin.empty() || opt.bench.empty() || opt.work.empty()) usage("--bin, --bench and --work are needed");
  if (!kSizes.count(opt.size)) usage("unknown size '" + opt.size + "' (full, quick or tiny)");
  if (opt.data.empty()) opt.data = "data";
  opt.bin = fs::absolute(opt.bin);
  opt.bench = fs::absolute(opt.bench);
  opt.work = fs::absolute(opt.work);
  return opt;
}

}  // namespace

int main(int argc, char** argv) {
  Context ctx;
  ctx.opt = parse_options(argc, argv);
  ctx.sizes = kSizes.at(ctx.opt.size);
  if (ctx.opt.runs > 0) ctx.sizes.runs = ctx.opt.runs;
  for (const char* name : {"test", "ombrel", "tessak", "halvik", "graphgen"})
    if (access((ctx.opt.bin / name).c_str(), X_OK) != 0) usage("no program " + (ctx.opt.bin / name).string());
  for (const char* name :
       {"test_baseline", "test_kernel_device", "ombrel_baseline", "tessak_baseline", "halvik_baseline",
        "classic_baseline", "classic_device"})
    if (access((ctx.opt.bench / name).c_str(), X_OK) != 0)
      usage("no baseline " + (ctx.opt.bench / name).string());
  if (bench::run(RunRequest{{"stdbuf", "--version"}, ".", {}}).exit_status != 0)
    usage("stdbuf (GNU coreutils) is needed to time the programs' phases from their output");
  fs::create_directories(ctx.opt.work);

  const std::string load_before = load_average();
  const std::time_t started = std::time(nullptr);
  const std::vector<std::pair<std::string, std::function<void(Context&)>>> workloads = {
      {"test", bench_test},     {"ombrel", bench_ombrel},   {"tessak", bench_tessak},
      {"halvik", bench_halvik}, {"classic", bench_classic}};
  for (const auto& [name, work] : workloads) {
    if (!ctx.opt.only.empty() && !ctx.opt.only.count(name)) continue;
    try {
      work(ctx);
    } catch (const Failure& e) {
      ctx.failures.push_back(name + ": " + e.what());
      ctx.rows.push_back(Row{"`" + name + "`", "", {}, {}, 0, std::string("FAILED: ") + e.what(), false});
    } catch (const std::exception& e) {
      ctx.failures.push_back(name + ": " + e.what());
      ctx.rows.push_back(Row{"`" + name + "`", "", {}, {}, 0, std::string("FAILED: ") + e.what(), false});
    }
  }

  print_table(ctx);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::localtime(&started));
  std::printf(
      "\nSize %s; each figure the median of %d runs, program and baseline runs interleaved; "
      "%d worker threads; %s, %ld hardware threads; load average %s before, %s after; %s.\n",
      ctx.opt.size.c_str(), ctx.sizes.runs, ctx.opt.workers, cpu_model().c_str(),
      sysconf(_SC_NPROCESSORS_ONLN), load_before.c_str(), load_average().c_str(), when);
  if (ctx.opt.size != "full") std::printf("Reduced sizes: the targets apply to the full sizes only.\n");
  for (const std::string& note : ctx.notes) std::printf("- %s\n", note.c_str());

  int failed_checks = 0;
  for (const Row& row : ctx.rows) failed_checks += row.check_ok ? 0 : 1;
  for (const std::string& f : ctx.failures) std::fprintf(stderr, "bench_compare: %s\n", f.c_str());
  if (failed_checks > 0)
    std::fprintf(stderr, "bench_compare: %d rows failed their result check\n", failed_checks);
  return failed_checks > 0 || !ctx.failures.empty() ? 1 : 0;
}
