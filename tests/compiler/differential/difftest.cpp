// difftest: compiles generated programs with gpucc and checks that every
// kernel computes the same bits in its block function as on fibers, with one
// worker and with two. The reference is CUDART_BARRIERS=fibers with one
// worker; each launch's digest line of the three other runs must equal it.
//
//   difftest [--seeds A-B]... [--kernels K] [--jobs J] [--time-limit S] [--keep]
//   difftest --print SEED [--only N]      writes a seed's program to stdout
//
// It also checks the generator: the reference runs every launch without a
// failure and without sanitizer reports, most launches write output, and
// the pass gives most kernels a block function (a generator whose kernels
// all fall back to fibers would compare fibers with fibers).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "generator.h"
#include "process.h"

namespace fs = std::filesystem;
using difftest::GeneratedProgram;
using difftest::GeneratorOptions;

namespace {

struct Options {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  GeneratorOptions generator;
  unsigned jobs = 1;
  double time_limit_s = 0;  // 0: no limit
  bool keep = false;
  long print_seed = -1;
  std::string gpucc = DIFFTEST_GPUCC;
  fs::path work = DIFFTEST_WORK_DIR;
  fs::path known = DIFFTEST_KNOWN_FAILURES;
  double min_block_share = 0.9;
  double timeout_s = 120;
};

constexpr const char* kUsage =
    "usage: difftest [--seeds A-B]... [--kernels K] [--jobs J] [--time-limit SECONDS] [--keep]\n"
    "                [--work DIR] [--gpucc PATH] [--known FILE] [--min-block-share F] [--no-counting-barriers]\n"
    "       difftest --print SEED [--kernels K] [--only N] [--no-counting-barriers]\n";

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "--seeds" || a == "--seed") {
      std::string v = value();
      auto dash = v.find('-');
      std::uint64_t first = std::stoull(v.substr(0, dash));
      std::uint64_t last = dash == std::string::npos ? first : std::stoull(v.substr(dash + 1));
      if (last < first) throw std::runtime_error("empty seed range " + v);
      o.ranges.push_back({first, last});
    } else if (a == "--kernels") {
      o.generator.kernels = unsigned(std::stoul(value()));
    } else if (a == "--only") {
      o.generator.only_kernel = std::stoi(value());
    } else if (a == "--no-counting-barriers") {
      o.generator.counting_barriers = false;
    } else if (a == "--jobs" || a == "-j") {
      o.jobs = std::max(1u, unsigned(std::stoul(value())));
    } else if (a == "--time-limit") {
      o.time_limit_s = std::stod(value());
    } else if (a == "--keep") {
      o.keep = true;
    } else if (a == "--print") {
      o.print_seed = std::stol(value());
    } else if (a == "--work") {
      o.work = value();
    } else if (a == "--gpucc") {
      o.gpucc = value();
    } else if (a == "--known") {
      o.known = value();
    } else if (a == "--min-block-share") {
      o.min_block_share = std::stod(value());
    } else if (a == "--timeout") {
      o.timeout_s = std::stod(value());
    } else {
      std::fprintf(stderr, "difftest: unknown argument %s\n%s", a.c_str(), kUsage);
      return false;
    }
  }
  if (o.ranges.empty()) o.ranges.push_back({1, 8});
  return true;
}

// Seeds listed (one per line, # comments) as failing for a known reason.
std::set<std::uint64_t> read_known(const fs::path& path) {
  std::set<std::uint64_t> seeds;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::uint64_t seed;
    if (words >> seed) seeds.insert(seed);
  }
  return seeds;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

struct KernelForm {
  std::string kernel, form, reason;  // form: "thread loops", "region loops" or "fibers"
};

// The pass's remark for each kernel: "<file>: kernel <signature>: <form>".
std::vector<KernelForm> read_forms(const std::string& remarks) {
  std::vector<KernelForm> out;
  for (const std::string& line : lines_of(remarks)) {
    auto at = line.find(": kernel ");
    if (at == std::string::npos) continue;
    std::string rest = line.substr(at + 9);
    auto end = rest.find("): ");
    if (end == std::string::npos) continue;
    KernelForm f;
    f.kernel = rest.substr(0, rest.find('('));
    std::string form = rest.substr(end + 3);
    if (form.rfind("fibers: ", 0) == 0) {
      f.form = "fibers";
      f.reason = form.substr(8);
    } else {
      f.form = form.substr(0, form.find(" ("));
    }
    out.push_back(f);
  }
  return out;
}

struct Config {
  const char* name;
  const char* barriers;  // CUDART_BARRIERS; empty: the default forms
  const char* workers;
};
constexpr Config kConfigs[] = {{"fibers, 1 worker", "fibers", "1"},
                               {"fibers, 2 workers", "fibers", "2"},
                               {"block functions, 1 worker", "", "1"},
                               {"block functions, 2 workers", "", "2"}};

struct SeedResult {
  std::uint64_t seed = 0;
  unsigned kernels = 0, launches = 0, launches_compared = 0, launches_writing = 0;
  std::vector<KernelForm> forms;
  std::vector<std::string> mismatches;  // the compiled forms disagree
  std::vector<std::string> problems;    // the tester itself is wrong
  fs::path program;
};

std::string seed_command(const Options& o, std::uint64_t seed) {
  std::string cmd = "difftest --seeds " + std::to_string(seed) + " --keep";
  if (o.generator.kernels != GeneratorOptions{}.kernels) cmd += " --kernels " + std::to_string(o.generator.kernels);
  if (!o.generator.counting_barriers) cmd += " --no-counting-barriers";
  return cmd;
}

// The innermost pass on a crashed compiler's stack.
std::string crash_site(const std::string& err) {
  for (const std::string& line : lines_of(err)) {
    auto at = line.find("llvm::");
    auto run = line.find("::run(");
    if (at == std::string::npos || run == std::string::npos || run < at) continue;
    std::string pass = line.substr(at, run + 5 - at);
    if (pass.find("PassManager") == std::string::npos && pass.find("Adaptor") == std::string::npos &&
        pass.find("detail::") == std::string::npos)
      return "in " + pass;
  }
  return "(no pass on its stack)";
}

bool sanitizer_report(const std::string& err) {
  return err.find("runtime error:") != std::string::npos || err.find("ERROR: AddressSanitizer") != std::string::npos;
}

SeedResult check_seed(const Options& o, std::uint64_t seed) {
  SeedResult r;
  r.seed = seed;
  GeneratedProgram program = difftest::generate_program(seed, o.generator);
  r.kernels = unsigned(program.kernels.size());
  r.launches = program.launches;
  const std::string stem = "seed-" + std::to_string(seed);
  r.program = o.work / stem;
  const fs::path source = o.work / (stem + ".cu");
  {
    std::ofstream out(source);
    out << program.source;
  }
  // Debug information and the optimisation level change what the pass sees.
  std::vector<std::string> compile{o.gpucc, source.string(), "-o", r.program.string(), seed % 4 == 1 ? "-O1" : "-O2"};
  if (seed % 5 == 2) compile.push_back("-g");
  difftest::RunResult built = difftest::run_command(compile, {{"GPUCC_REMARKS", "all"}}, o.work / (stem + ".compile"), o.timeout_s);
  r.forms = read_forms(built.err);
  for (const KernelForm& f : r.forms)
    if (f.reason.find("internal error") != std::string::npos)
      r.mismatches.push_back("the pass gave up on " + f.kernel + ": " + f.reason);
  if (built.status != 0) {
    // The compiler crashing is a finding; an error in the source is the
    // generator's.
    const bool crashed = built.timed_out || built.err.find("PLEASE submit a bug report") != std::string::npos ||
                         built.err.find("Stack dump") != std::string::npos;
    std::string what = built.timed_out ? "timed out" : built.err.substr(0, 2000);
    if (crashed && !built.timed_out) what = crash_site(built.err);
    (crashed ? r.mismatches : r.problems).push_back(std::string(crashed ? "the compiler crashed: " : "does not compile: ") + what);
    return r;
  }
  if (r.forms.size() != r.kernels)
    r.problems.push_back("the compiler reported " + std::to_string(r.forms.size()) + " kernel forms for " +
                         std::to_string(r.kernels) + " kernels");

  std::vector<std::vector<std::string>> outputs;
  for (const Config& c : kConfigs) {
    const std::string tag = stem + "." + (c.barriers[0] ? c.barriers : "blocks") + c.workers;
    difftest::RunResult run = difftest::run_command(
        {r.program.string()},
        {{"CUDART_BARRIERS", c.barriers}, {"CUDART_WORKERS", c.workers}, {"CUDART_TRACE", ""}, {"CUDART_FAIL", ""}},
        o.work / tag, o.timeout_s);
    std::vector<std::string> lines = lines_of(run.out);
    std::string trouble;
    if (run.timed_out) trouble = "timed out";
    else if (run.status != 0) trouble = "exit status " + std::to_string(run.status);
    if (sanitizer_report(run.err)) trouble += (trouble.empty() ? "" : ", ") + std::string("sanitizer report: ") + run.err.substr(0, 1500);
    if (&c == &kConfigs[0]) {
      if (!trouble.empty()) r.problems.push_back(std::string(c.name) + ": " + trouble);
      if (lines.size() != r.launches)
        r.problems.push_back(std::string(c.name) + ": " + std::to_string(lines.size()) + " digest lines for " +
                             std::to_string(r.launches) + " launches");
      for (const std::string& line : lines) {
        if (line.find("launch failed") != std::string::npos) r.problems.push_back("the reference failed: " + line);
        else if (line.find(", 0 of ") == std::string::npos) ++r.launches_writing;
      }
    } else if (!trouble.empty()) {
      r.mismatches.push_back(std::string(c.name) + ": " + trouble);
    }
    outputs.push_back(std::move(lines));
  }

  // One entry per launch that differs: what each run printed for it. The
  // first is the one to look at: a failed launch fails every later one.
  const std::vector<std::string>& reference = outputs[0];
  std::size_t longest = 0;
  for (const auto& lines : outputs) longest = std::max(longest, lines.size());
  for (std::size_t c = 1; c < outputs.size(); ++c) r.launches_compared += unsigned(std::min(reference.size(), outputs[c].size()));
  unsigned differing = 0;
  for (std::size_t i = 0; i < longest; ++i) {
    auto line = [&](std::size_t c) { return i < outputs[c].size() ? outputs[c][i] : std::string("(no line)"); };
    std::string report;
    for (std::size_t c = 1; c < outputs.size(); ++c)
      if (line(c) != line(0)) report += "\n      " + std::string(kConfigs[c].name) + ": " + line(c);
    if (report.empty()) continue;
    if (differing++ < 3) r.mismatches.push_back("launch differs, " + std::string(kConfigs[0].name) + ": " + line(0) + report);
  }
  if (differing > 3) r.mismatches.push_back(std::to_string(differing - 3) + " later launches differ too");
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    if (!parse(argc, argv, o)) return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "difftest: %s\n%s", e.what(), kUsage);
    return 2;
  }
  if (o.print_seed >= 0) {
    std::fputs(difftest::generate_program(std::uint64_t(o.print_seed), o.generator).source.c_str(), stdout);
    return 0;
  }
  std::error_code ec;
  fs::create_directories(o.work, ec);
  if (ec) {
    std::fprintf(stderr, "difftest: cannot make %s: %s\n", o.work.c_str(), ec.message().c_str());
    return 2;
  }
  // The list holds seeds of the default generator: other options make other programs.
  const bool default_programs = o.generator.kernels == GeneratorOptions{}.kernels && o.generator.counting_barriers;
  const std::set<std::uint64_t> known = default_programs ? read_known(o.known) : std::set<std::uint64_t>{};

  std::vector<std::uint64_t> seeds;
  for (auto [first, last] : o.ranges)
    for (std::uint64_t s = first; s <= last; ++s) seeds.push_back(s);

  const auto start = std::chrono::steady_clock::now();
  std::atomic<std::size_t> next{0};
  std::mutex lock;
  std::vector<SeedResult> results;
  auto worker = [&] {
    for (;;) {
      if (o.time_limit_s > 0 &&
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > o.time_limit_s)
        return;
      const std::size_t k = next++;
      if (k >= seeds.size()) return;
      SeedResult r;
      try {
        r = check_seed(o, seeds[k]);
      } catch (const std::exception& e) {
        r.seed = seeds[k];
        r.problems.push_back(e.what());
      }
      const bool failed = !r.mismatches.empty() || !r.problems.empty();
      if (!failed && !o.keep) {
        for (const auto& entry : fs::directory_iterator(o.work, ec)) {
          const std::string name = entry.path().filename().string();
          const std::string stem = "seed-" + std::to_string(r.seed);
          if (name == stem || name.rfind(stem + ".", 0) == 0) fs::remove(entry.path(), ec);
        }
      }
      std::lock_guard<std::mutex> guard(lock);
      unsigned blocks = 0;
      for (const KernelForm& f : r.forms) blocks += f.form != "fibers";
      std::printf("seed %llu: %u kernels (%u with block functions), %u launches: %s\n", (unsigned long long)r.seed,
                  r.kernels, blocks, r.launches,
                  !failed ? "same" : known.count(r.seed) ? "FAILS (known)" : "FAILS");
      for (const KernelForm& f : r.forms)
        if (f.form == "fibers") std::printf("  %s runs on fibers: %s\n", f.kernel.c_str(), f.reason.c_str());
      for (const std::string& m : r.problems) std::printf("  tester problem: %s\n", m.c_str());
      for (const std::string& m : r.mismatches) std::printf("  %s\n", m.c_str());
      if (failed) {
        std::printf("  reproduce: %s\n", seed_command(o, r.seed).c_str());
        std::printf("    or run %s with CUDART_BARRIERS=fibers or without, CUDART_WORKERS=1 or 2\n", r.program.c_str());
        std::printf("    one kernel: difftest --print %llu --only <index>%s > k.cu\n", (unsigned long long)r.seed,
                    o.generator.counting_barriers ? "" : " --no-counting-barriers");
      }
      std::fflush(stdout);
      results.push_back(std::move(r));
    }
  };
  std::vector<std::thread> pool;
  for (unsigned j = 0; j < o.jobs; ++j) pool.emplace_back(worker);
  for (std::thread& t : pool) t.join();

  // The counts, and whether the run passes.
  unsigned programs = 0, kernels = 0, launches = 0, compared = 0, writing = 0, failing = 0, known_failing = 0, troubled = 0;
  std::vector<std::uint64_t> known_passing;
  std::map<std::string, unsigned> forms, reasons;
  for (const SeedResult& r : results) {
    ++programs;
    kernels += r.kernels;
    launches += r.launches;
    compared += r.launches_compared;
    writing += r.launches_writing;
    for (const KernelForm& f : r.forms) {
      ++forms[f.form];
      if (!f.reason.empty()) ++reasons[f.reason];
    }
    if (!r.problems.empty()) ++troubled;
    else if (!r.mismatches.empty()) (known.count(r.seed) ? known_failing : failing) += 1;
    else if (known.count(r.seed)) known_passing.push_back(r.seed);
  }
  const unsigned blocks = kernels - forms["fibers"];
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("\ndifftest: %u programs, %u kernels, %u launches; %u launch results compared with fibers on 1 worker "
              "(%.0f s)\n",
              programs, kernels, launches, compared, elapsed);
  std::printf("  forms: %u thread loops, %u region loops, %u fibers\n", forms["thread loops"], forms["region loops"],
              forms["fibers"]);
  for (const auto& [reason, count] : reasons) std::printf("    fibers, %u kernels: %s\n", count, reason.c_str());
  std::printf("  %u of %u launches wrote output\n", writing, launches);
  std::printf("  programs that differ: %u (and %u known); programs the tester got wrong: %u\n", failing, known_failing,
              troubled);

  bool ok = failing == 0 && troubled == 0;
  // A known failure that has gone away leaves the list wrong: say so.
  for (std::uint64_t seed : known_passing) {
    std::printf("difftest: seed %llu passes but %s lists it as failing: take it off\n", (unsigned long long)seed,
                o.known.c_str());
    ok = false;
  }
  if (programs == 0) {
    std::printf("difftest: no program ran\n");
    ok = false;
  }
  if (kernels && double(blocks) / kernels < o.min_block_share) {
    std::printf("difftest: only %u of %u kernels have block functions (at least %.0f%% wanted)\n", blocks, kernels,
                100 * o.min_block_share);
    ok = false;
  }
  if (launches && writing < launches * 3 / 4) {
    std::printf("difftest: only %u of %u launches wrote output\n", writing, launches);
    ok = false;
  }
  return ok ? 0 : 1;
}
