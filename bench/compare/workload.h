// What bench_compare's workloads share: the sizes and options of a run, the
// rows of the table they fill, and running programs and baselines and
// reading what they report. One file per workload (test_workload.cpp,
// ombrel_workload.cpp, tessak_workload.cpp, halvik_workload.cpp,
// classic_workload.cpp) times a program against its baseline and checks that
// both computed the same.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "baseline_common.h"
#include "process.h"

namespace bench::compare {

namespace fs = std::filesystem;

/// A run that failed or a result that could not be read: ends the workload.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Sizes {
  int ombrel_images;
  int uniform_nodes;
  int grid_width, grid_height;
  int rmat_scale;
  int halvik_rows, halvik_cols, halvik_iterations;
  int test_repeat;  ///< timed launches (and loop passes) inside one run
  int runs;         ///< default number of timed runs
  long reduce_elements, matmul_side, scan_elements;  ///< the classic kernels' sizes
  int classic_repeat;                                 ///< their timed launches (and passes) inside one run
};

/// The workloads' sizes by name (--size).
inline const std::map<std::string, Sizes> kSizes = {
    {"full", {10000, 1000000, 1000, 1000, 20, 2048, 2048, 10, 20, 5, 1L << 24, 1024, 1L << 24, 5}},
    {"quick", {1000, 100000, 300, 300, 16, 512, 512, 10, 10, 3, 1L << 22, 512, 1L << 22, 5}},
    {"tiny", {40, 3000, 30, 20, 10, 64, 48, 3, 3, 1, 1L << 12, 64, 5000, 2}},
};

struct Options {
  fs::path bin, bench, work, data;
  std::string size = "full";
  int runs = 0;
  int workers = 2;
  std::set<std::string> only;
};

/// One line of the table.
struct Row {
  std::string workload;
  std::string baseline;
  std::vector<double> program_ms, baseline_ms;
  double target = 0;  ///< largest acceptable ratio; 0 for none
  std::string check;
  bool check_ok = true;
  long peak_rss_kib = 0;  ///< 0: not shown on this row
  double data_bytes = 0;
};

struct Context {
  Options opt;
  Sizes sizes;
  std::vector<Row> rows;
  std::vector<std::string> notes;
  std::vector<std::string> failures;
};

/// Progress on standard error.
void progress(const std::string& text);

/// The last `count` lines of `text`.
std::string last_lines(const std::string& text, int count);

/// Runs `request` and insists on exit status 0; a Failure naming `what` otherwise.
RunResult must_run(const RunRequest& request, const std::string& what);

/// A program from --bin under the CPU device, its standard output line-buffered
/// so that its progress lines arrive when they are printed.
RunRequest program(const Context& ctx, const std::string& name, std::vector<std::string> args,
                   const fs::path& cwd, std::map<std::string, std::string> env = {});

/// A baseline from --bench.
RunRequest baseline(const Context& ctx, const std::string& name, std::vector<std::string> args,
                    const fs::path& cwd);

/// The value of a "key value" line a baseline printed, or a failure naming `who`.
std::string report_value(const RunResult& r, const std::string& key, const std::string& who);

/// The time_ms a baseline reported.
double report_ms(const RunResult& r, const std::string& who);

/// Without line buffering a program's output all arrives when it exits, and
/// the stamps say nothing about its phases. With it, the first line arrives as
/// the run begins; only a run long enough to tell the two apart is judged (a
/// failure naming `who`).
void require_line_buffered(const RunResult& r, const std::string& who);

/// The line that starts with `prefix`, or a failure naming the program.
const Line& line_starting(const RunResult& r, const std::string& prefix, const std::string& who);

/// From the arrival of the line starting with `from` to that of the line
/// starting with `to`.
double between_lines(const RunResult& r, const std::string& from, const std::string& to,
                     const std::string& who);

std::string read_file(const fs::path& path);
std::string file_digest(const fs::path& path);

struct Copy {
  int kind;
  long long bytes;
  std::string digest;
};

/// The successful cudaMemcpy calls of a CUDART_TRACE file, in call order.
std::vector<Copy> trace_copies(const fs::path& trace);

/// The digest of the last copy of `kind` (1 to the device, 2 to the host).
std::string last_copy(const std::vector<Copy>& copies, int kind, const std::string& who);

/// Empties `dir`, making it where needed.
void reset_dir(const fs::path& dir);

/// Runs `steps` `runs` times, each round in the opposite order to the last,
/// so that neither side always runs first.
void interleave(int runs, const std::string& what, const std::vector<std::function<void()>>& steps);

long max_of(const std::vector<long>& values);

/// `value` with `decimals` decimals.
std::string fixed(double value, int decimals);

constexpr double kMiB = 1024.0 * 1024.0;

/// Wall and processor time of a program's whole runs. Their quotient shows
/// how many threads the run kept busy on average: on a machine shared with
/// other work the workers get less than their cores, and the ratios suffer.
struct WholeRuns {
  std::vector<double> wall, cpu;
  void add(const RunResult& r) {
    wall.push_back(r.wall_ms);
    cpu.push_back(r.cpu_ms);
  }
  std::string text() const {
    const double w = bench::median(wall), c = bench::median(cpu);
    return "whole run " + fixed(w, 0) + " ms, " + fixed(c, 0) + " ms of processor time (" +
           fixed(w > 0 ? c / w : 0, 2) + " threads busy on average)";
  }
};

// The workloads: each adds its rows (and notes) to the table, or throws a Failure.
void bench_test(Context& ctx);
void bench_ombrel(Context& ctx);
void bench_tessak(Context& ctx);
void bench_halvik(Context& ctx);
void bench_classic(Context& ctx);

}  // namespace bench::compare
