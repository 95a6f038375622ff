// bench_compare: runs each program on the CPU device and its native
// single-threaded baseline side by side, checks that both computed the same
// results, and prints one table (Markdown) of median times, ratios, targets
// and peak memory. bench/run builds everything and calls it; bench/README.md
// explains how each figure is taken.
//
//   bench_compare --bin DIR --bench DIR --work DIR [--data DIR]
//                 [--size full|quick|tiny] [--quick] [--runs N] [--workers N]
//                 [--only test,ombrel,tessak,halvik]
//
// --bin holds the programs and graphgen, --bench the baselines, --work is for
// inputs (generated graphs are kept there and reused) and scratch files,
// --data is where real digits and trained weights are looked for. Progress
// goes to standard error, the table to standard output. Exit status 0 when
// every run succeeded and every result check passed, 1 otherwise (targets
// that are missed do not change it), 2 for a bad command line.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "baseline_common.h"
#include "ombrel_data.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using bench::RunResult;
using bench::RunRequest;

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
};

const std::map<std::string, Sizes> kSizes = {
    {"full", {10000, 1000000, 1000, 1000, 20, 2048, 2048, 10, 20, 5}},
    {"quick", {1000, 100000, 300, 300, 16, 512, 512, 10, 10, 3}},
    {"tiny", {40, 3000, 30, 20, 10, 64, 48, 3, 3, 1}},
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

void progress(const std::string& text) {
  std::fprintf(stderr, "[bench] %s\n", text.c_str());
  std::fflush(stderr);
}

std::string last_lines(const std::string& text, int count) {
  size_t at = text.size();
  while (at > 0 && text[at - 1] == '\n') --at;
  for (int i = 0; i < count && at > 0; ++i) {
    const size_t nl = text.rfind('\n', at - 1);
    at = nl == std::string::npos ? 0 : nl;
  }
  std::string tail = text.substr(at);
  while (!tail.empty() && (tail.front() == '\n')) tail.erase(0, 1);
  while (!tail.empty() && (tail.back() == '\n')) tail.pop_back();
  return tail;
}

/// Runs `request` and insists on exit status 0.
RunResult must_run(const RunRequest& request, const std::string& what) {
  RunResult r = bench::run(request);
  if (r.timed_out)
    throw Failure(what + " took longer than " + std::to_string(static_cast<int>(request.timeout_s)) +
                  " s and was stopped");
  if (r.exit_status != 0) {
    std::string why = what + " exited with status " + std::to_string(r.exit_status);
    const std::string tail = last_lines(r.err, 3);
    if (!tail.empty()) why += ": " + tail;
    throw Failure(why);
  }
  return r;
}

/// A program from --bin under the CPU device, its standard output line-buffered
/// so that its progress lines arrive when they are printed.
RunRequest program(const Context& ctx, const std::string& name, std::vector<std::string> args,
                const fs::path& cwd, std::map<std::string, std::string> env = {}) {
  RunRequest request;
  request.argv = {"stdbuf", "-oL", (ctx.opt.bin / name).string()};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.cwd = cwd;
  env["CUDART_WORKERS"] = std::to_string(ctx.opt.workers);
  request.env = std::move(env);
  return request;
}

RunRequest baseline(const Context& ctx, const std::string& name, std::vector<std::string> args,
                 const fs::path& cwd) {
  RunRequest request;
  request.argv = {(ctx.opt.bench / name).string()};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.cwd = cwd;
  return request;
}

/// The "key value" lines a baseline prints.
std::map<std::string, std::string> report_of(const RunResult& r) {
  std::map<std::string, std::string> values;
  for (const bench::Line& line : r.lines) {
    const size_t space = line.text.find(' ');
    if (space != std::string::npos) values[line.text.substr(0, space)] = line.text.substr(space + 1);
  }
  return values;
}

std::string report_value(const RunResult& r, const std::string& key, const std::string& who) {
  const auto values = report_of(r);
  const auto it = values.find(key);
  if (it == values.end()) throw Failure(who + " did not report " + key);
  return it->second;
}

double report_ms(const RunResult& r, const std::string& who) {
  return std::stod(report_value(r, "time_ms", who));
}

/// The line that starts with `prefix`, or a failure naming the program.
const bench::Line& line_starting(const RunResult& r, const std::string& prefix, const std::string& who) {
  for (const bench::Line& line : r.lines)
    if (line.text.compare(0, prefix.size(), prefix) == 0) return line;
  throw Failure(who + " did not print \"" + prefix + "\"");
}

/// Without line buffering a program's output all arrives when it exits, and
/// the stamps say nothing about its phases. With it, the first line arrives as
/// the run begins; only a run long enough to tell the two apart is judged.
void require_line_buffered(const RunResult& r, const std::string& who) {
  if (!r.lines.empty() && r.wall_ms > 200 && r.lines.front().first_ms > 0.9 * r.wall_ms)
    throw Failure(
        who +
        ": its output arrived only as it ended, so it was not line-buffered (stdbuf -oL had no effect)");
}

/// From the arrival of the line starting with `from` to that of the line
/// starting with `to`.
double between_lines(const RunResult& r, const std::string& from, const std::string& to,
                     const std::string& who) {
  require_line_buffered(r, who);
  return line_starting(r, to, who).first_ms - line_starting(r, from, who).end_ms;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string file_digest(const fs::path& path) {
  const std::string bytes = read_file(path);
  return bench::fnv1a64(bytes.data(), bytes.size());
}

struct Copy {
  int kind;
  long long bytes;
  std::string digest;
};

/// The successful cudaMemcpy calls of a CUDART_TRACE file, in call order.
std::vector<Copy> trace_copies(const fs::path& trace) {
  std::ifstream in(trace);
  if (!in) throw Failure("no trace was written to " + trace.string());
  static const std::regex bytes_re(R"re("bytes": (\d+))re"), kind_re(R"re("kind": (\d+))re"),
      digest_re(R"re("digest": "([0-9a-f]{16})")re");
  std::vector<Copy> copies;
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"call\": \"cudaMemcpy\"") == std::string::npos) continue;
    std::smatch b, k, d;
    if (std::regex_search(line, b, bytes_re) && std::regex_search(line, k, kind_re) &&
        std::regex_search(line, d, digest_re))
      copies.push_back({std::stoi(k[1]), std::stoll(b[1]), d[1]});
  }
  return copies;
}

/// The digest of the last copy of `kind` (1 to the device, 2 to the host).
std::string last_copy(const std::vector<Copy>& copies, int kind, const std::string& who) {
  for (auto it = copies.rbegin(); it != copies.rend(); ++it)
    if (it->kind == kind) return it->digest;
  throw Failure(who + ": the trace holds no copy of kind " + std::to_string(kind));
}

void reset_dir(const fs::path& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
}

/// Runs `steps` `runs` times, each round in the opposite order to the last,
/// so that neither side always runs first.
void interleave(int runs, const std::string& what, const std::vector<std::function<void()>>& steps) {
  for (int r = 0; r < runs; ++r) {
    progress(what + ": run " + std::to_string(r + 1) + " of " + std::to_string(runs));
    if (r % 2 == 0)
      for (const auto& step : steps) step();
    else
      for (auto it = steps.rbegin(); it != steps.rend(); ++it) (*it)();
  }
}

long max_of(const std::vector<long>& values) {
  long m = 0;
  for (long v : values) m = std::max(m, v);
  return m;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

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

// ---------------------------------------------------------------------------
// test: its kernel over 2^20 elements.

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

// ---------------------------------------------------------------------------
// ombrel: the four layers over all images.

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

// ---------------------------------------------------------------------------
// tessak: loading and searching three graphs.

struct GraphCase {
  std::string name;               ///< as shown in the table
  std::string file;               ///< cached under <work>/graphs
  std::vector<std::string> args;  ///< graphgen's arguments
  double search_target;           ///< 0: none
};

fs::path graph_file(const Context& ctx, const GraphCase& g) {
  const fs::path dir = ctx.opt.work / "graphs";
  fs::create_directories(dir);
  const fs::path file = dir / g.file;
  if (fs::exists(file)) return file;
  progress("tessak: generating " + g.file);
  const fs::path partial = dir / (g.file + ".partial");
  std::vector<std::string> args = {(ctx.opt.bin / "graphgen").string()};
  args.insert(args.end(), g.args.begin(), g.args.end());
  args.insert(args.end(), {"-o", partial.string()});
  must_run(RunRequest{args, dir, {}}, "graphgen");
  fs::rename(partial, file);
  return file;
}

void bench_tessak_graph(Context& ctx, const GraphCase& g) {
  const fs::path file = fs::absolute(graph_file(ctx, g));
  const fs::path dir = ctx.opt.work / ("tessak-" + g.name);
  reset_dir(dir);
  for (const char* sub : {"program", "levels", "boost", "load"}) fs::create_directories(dir / sub);
  const std::vector<std::string> args = {file.string()};
  const std::string label = "tessak " + g.name;

  progress(label + ": checking the program's results");
  const RunResult checked = must_run(
      program(ctx, "tessak", args, dir / "program", {{"CUDART_TRACE", (dir / "trace.json").string()}}),
      "tessak");
  const std::string program_result = file_digest(dir / "program" / "result.txt");
  const std::vector<Copy> copies = trace_copies(dir / "trace.json");
  const RunResult load = must_run(baseline(ctx, "tessak_baseline", {"load", file.string()}, dir / "load"),
                                  "tessak_baseline load");
  const RunResult levels = must_run(
      baseline(ctx, "tessak_baseline", {"levels", file.string()}, dir / "levels"), "tessak_baseline levels");
  const RunResult boost = must_run(baseline(ctx, "tessak_baseline", {"boost", file.string()}, dir / "boost"),
                                   "tessak_baseline boost");
  const std::string launches = report_value(levels, "launches", "tessak_baseline levels");
  const bool search_exact = program_result == file_digest(dir / "levels" / "result.txt");
  const bool boost_exact = program_result == file_digest(dir / "boost" / "result.txt");
  const bool same_launches =
      output_text(checked).find("Kernel Executed " + launches + " times\n") != std::string::npos;
  // The program's first two copies to the device are its node and edge arrays.
  std::vector<std::string> uploads;
  for (const Copy& c : copies)
    if (c.kind == 1) uploads.push_back(c.digest);
  const bool load_exact = uploads.size() >= 2 &&
                          uploads[0] == report_value(load, "node_digest", "tessak_baseline load") &&
                          uploads[1] == report_value(load, "edge_digest", "tessak_baseline load");
  const double nodes = std::stod(report_value(load, "nodes", "tessak_baseline load"));
  const double edges = std::stod(report_value(load, "edges", "tessak_baseline load"));

  Row search{"`tessak` " + g.name + ": search", "level loops", {}, {}, g.search_target};
  Row bgl{"`tessak` " + g.name + ": search", "BGL `breadth_first_search`"};
  Row loading{"`tessak` " + g.name + ": loading", "read + `strtol`", {}, {}, 1.5};
  search.check_ok = search_exact && same_launches;
  search.check = search_exact ? "exact: result.txt, " + launches + " launches" +
                                    (same_launches ? "" : " (MISMATCH: launch count)")
                              : "MISMATCH: result.txt";
  bgl.check_ok = boost_exact;
  bgl.check = boost_exact ? "exact: result.txt" : "MISMATCH: result.txt";
  loading.check_ok = load_exact;
  loading.check = load_exact ? "exact: node and edge arrays (trace digests)" : "MISMATCH: node or edge array";

  std::vector<long> rss;
  WholeRuns whole;
  interleave(ctx.sizes.runs, label,
             {
                 [&] {
                   const RunResult r = must_run(program(ctx, "tessak", args, dir / "program"), "tessak");
                   loading.program_ms.push_back(between_lines(r, "Reading File", "Read File", "tessak"));
                   std::smatch m;
                   const std::string out = output_text(r);
                   if (!std::regex_search(out, m, std::regex(R"(Processing time: ([0-9.]+) \(ms\))")))
                     throw Failure("tessak did not print its processing time");
                   const double ms = std::stod(m[1]);
                   search.program_ms.push_back(ms);
                   bgl.program_ms.push_back(ms);
                   if (file_digest(dir / "program" / "result.txt") != program_result)
                     throw Failure("tessak wrote a different result.txt in a timed run");
                   rss.push_back(r.peak_rss_kib);
                   whole.add(r);
                 },
                 [&] {
                   loading.baseline_ms.push_back(report_ms(
                       must_run(baseline(ctx, "tessak_baseline", {"load", file.string()}, dir / "load"),
                                "tessak_baseline load"),
                       "load"));
                 },
                 [&] {
                   search.baseline_ms.push_back(report_ms(
                       must_run(baseline(ctx, "tessak_baseline", {"levels", file.string()}, dir / "levels"),
                                "tessak_baseline levels"),
                       "levels"));
                 },
                 [&] {
                   bgl.baseline_ms.push_back(report_ms(
                       must_run(baseline(ctx, "tessak_baseline", {"boost", file.string()}, dir / "boost"),
                                "tessak_baseline boost"),
                       "boost"));
                 },
             });
  search.peak_rss_kib = max_of(rss);
  // Node (8 bytes), mask, visited (1 each) and cost (4) per node, 4 bytes per
  // edge, on the host and again on the device, plus the progress flag.
  search.data_bytes = 2 * (nodes * 14 + edges * 4) + 1;
  ctx.rows.push_back(search);
  ctx.rows.push_back(bgl);
  ctx.rows.push_back(loading);
  ctx.notes.push_back("`tessak` " + g.name + ": " + fixed(nodes, 0) + " nodes, " + fixed(edges, 0) +
                      " edges, " + fixed(static_cast<double>(fs::file_size(file)) / 1e6, 1) + " MB file, " +
                      launches + " launches; " + whole.text());
}

void bench_tessak(Context& ctx) {
  const Sizes& s = ctx.sizes;
  const std::string n = std::to_string(s.uniform_nodes);
  const std::string w = std::to_string(s.grid_width), h = std::to_string(s.grid_height);
  const std::string scale = std::to_string(s.rmat_scale);
  const std::vector<GraphCase> graphs = {
      {"uniform " + n + " nodes", "uniform-" + n + ".txt", {"uniform", n}, 1.0},
      {"grid " + w + "x" + h, "grid-" + w + "x" + h + ".txt", {"grid", w, h}, 1.5},
      {"R-MAT 2^" + scale, "rmat-" + scale + ".txt", {"rmat", scale}, 0},
  };
  for (const GraphCase& g : graphs) {
    try {
      bench_tessak_graph(ctx, g);
    } catch (const Failure& e) {
      ctx.failures.push_back(std::string("tessak ") + g.name + ": " + e.what());
      ctx.rows.push_back(Row{"`tessak` " + g.name, "", {}, {}, 0, std::string("FAILED: ") + e.what(), false});
    }
  }
}

// ---------------------------------------------------------------------------
// halvik: the main loop.

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

// ---------------------------------------------------------------------------
// The table.

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
               "                     [--runs N] [--workers N] [--only test,ombrel,tessak,halvik]\n",
               problem.c_str());
  std::exit(2);
}

Options parse_options(int argc, char** argv) {
  Options opt;
  const std::set<std::string> workloads = {"test", "ombrel", "tessak", "halvik"};
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
        if (!workloads.count(name)) usage("unknown workload '" + name + "' (test, ombrel, tessak, halvik)");
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
       {"test_baseline", "test_kernel_device", "ombrel_baseline", "tessak_baseline", "halvik_baseline"})
    if (access((ctx.opt.bench / name).c_str(), X_OK) != 0)
      usage("no baseline " + (ctx.opt.bench / name).string());
  if (bench::run(RunRequest{{"stdbuf", "--version"}, ".", {}}).exit_status != 0)
    usage("stdbuf (GNU coreutils) is needed to time the programs' phases from their output");
  fs::create_directories(ctx.opt.work);

  const std::string load_before = load_average();
  const std::time_t started = std::time(nullptr);
  const std::vector<std::pair<std::string, std::function<void(Context&)>>> workloads = {
      {"test", bench_test}, {"ombrel", bench_ombrel}, {"tessak", bench_tessak}, {"halvik", bench_halvik}};
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
