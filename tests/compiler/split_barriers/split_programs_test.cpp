// Programs built through the step that splits kernels at their barriers:
// split_probe and halvik run as a user runs them, with every kernel's region
// form (CUDART_BARRIERS=regions) and with fibers only, on one and two
// workers, and must compute what the host computes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "json.h"
#include "probe_runs.h"
#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
using test_helpers::calls_named;
using test_helpers::read_file;
using test_helpers::read_trace;
using test_helpers::run_program;
using test_helpers::split_lines;
using test_helpers::TempDir;
using test_helpers::write_file;

constexpr int kLaunchFailure = 719;

using split_probe_runs::describe;
using split_probe_runs::expect_values;
using split_probe_runs::kModes;
using split_probe_runs::Mode;
using split_probe_runs::ProbeOutput;
using split_probe_runs::Shape;
using split_probe_runs::shape_name;
using split_probe_runs::values_of;

ProbeOutput run_probe(const std::string& scenario, const Shape& s, const Mode& mode) {
  return split_probe_runs::run_probe(SPLIT_PROBE, scenario, s, mode);
}

// Runs the probe in every mode, checks each run against `expected` and that
// all modes printed the same bytes.
void expect_in_every_mode(const std::string& scenario, const Shape& shape,
                          const std::map<std::string, std::vector<double>>& expected, size_t launches = 1) {
  std::string first_output;
  for (const Mode& mode : kModes) {
    const ProbeOutput run = run_probe(scenario, shape, mode);
    const std::string where = scenario + " (" + describe(mode) + ")";
    ASSERT_EQ(run.result.exit_status, 0) << where << "\n" << run.result.err;
    EXPECT_EQ(run.result.err, "") << where;
    ASSERT_EQ(run.statuses.size(), launches) << where;
    for (const auto& status : run.statuses) EXPECT_EQ(status, (std::vector<long long>{0, 0})) << where;
    for (const auto& [name, values] : expected) {
      ASSERT_TRUE(run.arrays.count(name)) << where << " printed no " << name;
      expect_values(run.arrays.at(name), values, where + " " + name);
    }
    if (first_output.empty()) first_output = run.result.out;
    EXPECT_EQ(run.result.out, first_output) << where << " disagrees with " << describe(kModes[0]);
  }
}

class SplitCarryLocals : public ::testing::TestWithParam<Shape> {};

TEST_P(SplitCarryLocals, LocalsOutliveSeveralBarriersInEveryBlockShape) {
  const Shape s = GetParam();
  const unsigned n = s.threads();
  std::vector<double> out, scaled;
  for (unsigned b = 0; b < s.blocks(); ++b) {
    std::vector<int> stage(n), mirror(n);
    std::vector<float> late(n);
    for (unsigned t = 0; t < n; ++t) stage[t] = int(t * 3 + b + (t * 7u) % 5u);
    for (unsigned t = 0; t < n; ++t) mirror[t] = stage[n - 1 - t];
    for (unsigned t = 0; t < n; ++t) {
      stage[t] = mirror[t] + int(2 * t);
      late[t] = 0.5f * float(t + 1) + 0.25f * float(b);
    }
    for (unsigned t = 0; t < n; ++t) {
      out.push_back(stage[(t + 1) % n] + 2000);
      scaled.push_back(late[n - 1 - t] * 2.0f - 0.5f * float(t + 1));
    }
  }
  expect_in_every_mode("carry_locals", s, {{"out", out}, {"scaled", scaled}});
}

INSTANTIATE_TEST_SUITE_P(Shapes, SplitCarryLocals,
                         ::testing::Values(Shape{1, 1, 1, 1, 1, 1}, Shape{5, 1, 1, 3, 1, 1}, Shape{7, 3, 2, 2, 1, 2},
                                           Shape{1, 9, 5, 1, 3, 1}, Shape{16, 16, 1, 2, 2, 1},
                                           Shape{1024, 1, 1, 2, 1, 1}, Shape{32, 32, 1, 1, 1, 1},
                                           Shape{4, 4, 64, 1, 1, 1}),
                         shape_name);

class SplitEarlyExit : public ::testing::TestWithParam<Shape> {};

TEST_P(SplitEarlyExit, AReturnInTheLastRegionEndsOnlyThatThread) {
  const Shape s = GetParam();
  std::vector<double> out, after;
  for (unsigned b = 0; b < s.blocks(); ++b) {
    for (unsigned t = 0; t < s.bx; ++t) {
      const unsigned next = (t + 1) % s.bx;
      const int neighbour = int(next * next + b);
      out.push_back(t % 3 == 1 ? -1 : neighbour);
      after.push_back(t % 3 == 0 ? neighbour + 1 : -1);
    }
  }
  expect_in_every_mode("early_exit", s, {{"out", out}, {"after", after}});
}

INSTANTIATE_TEST_SUITE_P(Shapes, SplitEarlyExit,
                         ::testing::Values(Shape{1, 1, 1, 1, 1, 1}, Shape{10, 1, 1, 2, 1, 1},
                                           Shape{1024, 1, 1, 1, 1, 1}),
                         shape_name);

TEST(SplitProbe, KernelsInANamespaceAndWithCLinkageRunSplit) {
  const Shape s{7, 1, 1, 3, 1, 1};
  std::vector<double> rotate, rotate_back;
  for (unsigned b = 0; b < s.blocks(); ++b) {
    for (unsigned t = 0; t < s.bx; ++t) {
      rotate.push_back((t + 3) % s.bx + 100 * b);
      rotate_back.push_back((t + s.bx - 1) % s.bx + 100 * b);
    }
  }
  expect_in_every_mode("rotate", s, {{"rotate", rotate}, {"rotate_back", rotate_back}}, 2);
}

class SplitRows : public ::testing::TestWithParam<Shape> {};

// A kernel without barriers runs in rows where the block width allows it
// (a power of two) and as before elsewhere; both must match the host.
TEST_P(SplitRows, BarrierFreeKernelComputesTheSameInEveryMode) {
  const Shape s = GetParam();
  const unsigned width = s.bx * s.gx, height = s.by * s.gy;
  std::vector<double> out(width * height, -1);
  for (unsigned row = 0; row < height; ++row)
    for (unsigned col = 0; col < width; ++col)
      if (col % 5 != 4) out[row * width + col] = row * 1000 + col + (col / s.bx) * 7;
  expect_in_every_mode("fill_rows", s, {{"out", out}});
}

INSTANTIATE_TEST_SUITE_P(Shapes, SplitRows,
                         ::testing::Values(Shape{32, 2, 1, 3, 2, 1}, Shape{1, 1, 1, 9, 1, 1}, Shape{7, 3, 1, 2, 2, 1},
                                           Shape{1024, 1, 1, 2, 1, 1}, Shape{16, 16, 1, 40, 13, 1},
                                           Shape{4, 1, 1, 300, 1, 1}),
                         shape_name);

// With one worker the tickets show the order threads ran in. A block's own
// threads always keep their order. In rows, a thread row of one block runs
// before the next thread row of its neighbour on the left; as written
// (CUDART_BARRIERS=fibers), and where the width is no power of two, each
// block runs whole before the next.
TEST(SplitRows, RowFormRunsThreadRowsAcrossBlocks) {
  auto tickets = [](const Shape& s, const char* barriers) {
    const ProbeOutput run = run_probe("take_tickets", s, {barriers, "1"});
    EXPECT_EQ(values_of(run, "out").size(), s.threads() * s.blocks()) << barriers;
    return values_of(run, "out");
  };
  auto in_thread_order = [](const std::vector<double>& t, const Shape& s, unsigned b) {
    for (unsigned i = 1; i < s.threads(); ++i)
      if (t[b * s.threads() + i] <= t[b * s.threads() + i - 1]) return false;
    return true;
  };
  auto whole_blocks = [](const std::vector<double>& t, const Shape& s, unsigned b) {
    return t[b * s.threads() + s.threads() - 1] - t[b * s.threads()] == s.threads() - 1;
  };

  const Shape rows{4, 2, 2, 3, 2, 8};  // 48 blocks of 16 threads in 16 grid rows of 3
  const std::vector<double> in_rows = tickets(rows, "regions");
  const std::vector<double> as_written = tickets(rows, "fibers");
  ASSERT_FALSE(in_rows.empty());
  ASSERT_FALSE(as_written.empty());
  unsigned interleaved = 0;
  for (unsigned b = 0; b < rows.blocks(); ++b) {
    EXPECT_TRUE(in_thread_order(in_rows, rows, b)) << "block " << b;
    EXPECT_TRUE(whole_blocks(as_written, rows, b)) << "block " << b;
    interleaved += whole_blocks(in_rows, rows, b) ? 0 : 1;
  }
  EXPECT_GT(interleaved, 0u) << "no block ran side by side with another";

  const Shape odd{3, 2, 1, 40, 1, 1};
  const std::vector<double> odd_width = tickets(odd, "regions");
  ASSERT_FALSE(odd_width.empty());
  for (unsigned b = 0; b < odd.blocks(); ++b) EXPECT_TRUE(whole_blocks(odd_width, odd, b)) << "block " << b;
}

TEST(SplitProbe, KernelWithABarrierInALoopRunsOnFibersInBothModes) {
  const Shape s{256, 1, 1, 4, 1, 1};
  std::vector<double> sums(s.blocks(), 0);
  for (unsigned i = 0; i < s.threads() * s.blocks(); ++i) sums[i / s.threads()] += i * 7 % 13;
  expect_in_every_mode("loop_reduce", s, {{"sums", sums}});
}

// The probe's kernel records the address of a local of a function it calls.
// Fibers give each thread a stack; the region form runs a block's threads one
// after another in one frame. One distinct address per block shows the
// region form ran, one per thread that fibers did.
TEST(SplitProbe, RegionFormRunsABlockInOneStackFrame) {
  const Shape s{64, 1, 1, 3, 1, 1};
  std::vector<double> out;
  for (unsigned b = 0; b < s.blocks(); ++b)
    for (unsigned t = 0; t < s.bx; ++t) out.push_back(2 * (s.bx - 1 - t) + 1);
  for (const Mode& mode : kModes) {
    const ProbeOutput run = run_probe("stack_address", s, mode);
    ASSERT_EQ(run.result.exit_status, 0) << describe(mode) << "\n" << run.result.err;
    ASSERT_EQ(run.statuses, (std::vector<std::vector<long long>>{{0, 0}})) << describe(mode);
    const double per_block = std::string(mode.barriers) == "regions" ? 1 : s.threads();
    expect_values(values_of(run, "frames"), std::vector<double>(s.blocks(), per_block), describe(mode) + " frames");
    expect_values(values_of(run, "out"), out, describe(mode) + " out");
  }
}

// A barrier in a function compiled apart from the kernel's source is out of
// the splitter's sight: the region form cannot honour it, and the launch
// must fail rather than compute with threads out of step.
TEST(SplitProbe, BarrierHiddenFromTheSplitterFailsTheLaunchInRegionForm) {
  const Shape s{8, 1, 1, 2, 1, 1};
  std::vector<double> out;
  for (unsigned b = 0; b < s.blocks(); ++b)
    for (unsigned t = 0; t < s.bx; ++t) out.push_back((t + 1) % s.bx + 1);
  for (const Mode& mode : kModes) {
    const ProbeOutput run = run_probe("synced_elsewhere", s, mode);
    ASSERT_EQ(run.result.exit_status, 0) << describe(mode) << "\n" << run.result.err;
    ASSERT_EQ(run.statuses.size(), 1u) << describe(mode);
    if (std::string(mode.barriers) == "regions") {
      EXPECT_EQ(run.statuses[0], (std::vector<long long>{0, kLaunchFailure})) << describe(mode);
    } else {
      EXPECT_EQ(run.statuses[0], (std::vector<long long>{0, 0})) << describe(mode);
      expect_values(values_of(run, "out"), out, describe(mode));
    }
  }
}

// Each thread of a GPU block has its own copy of the kernel's parameters. A
// parameter changed through one of its members or through a reference must
// stay that thread's own in the region form too.
TEST(SplitProbe, ParameterChangedThroughAMemberStaysPerThread) {
  const Shape s{6, 1, 1, 2, 1, 1};
  std::vector<double> out;
  for (unsigned b = 0; b < s.blocks(); ++b)
    for (unsigned t = 0; t < s.bx; ++t) out.push_back(20 + t - 10);
  expect_in_every_mode("widen_window", s, {{"out", out}});
}

TEST(SplitProbe, ParameterChangedThroughAReferenceStaysPerThread) {
  const Shape s{6, 1, 1, 2, 1, 1};
  std::vector<double> out;
  for (unsigned b = 0; b < s.blocks(); ++b)
    for (unsigned t = 0; t < s.bx; ++t) out.push_back(40 + t);
  expect_in_every_mode("offset_by_reference", s, {{"out", out}});
}

TEST(SplitEnvironment, MalformedBarrierModeIsReportedAndRegionsKept) {
  const Shape s{16, 1, 1, 2, 1, 1};
  const ProbeOutput run = run_probe("stack_address", s, {"loops", "1"});
  EXPECT_EQ(run.result.exit_status, 0);
  EXPECT_EQ(run.result.err, "gpu runtime: ignoring CUDART_BARRIERS value 'loops': expected regions or fibers\n");
  expect_values(values_of(run, "frames"), {1, 1}, "frames under the default mode");

  TempDir dir;
  const auto unset = run_program(SPLIT_PROBE, {"stack_address", "16", "1", "1", "2", "1", "1"}, dir.path(),
                                 {{"CUDART_BARRIERS", ""}});
  EXPECT_EQ(unset.err, "");
  EXPECT_NE(unset.out.find("frames: 1 1\n"), std::string::npos) << "regions are the default\n" << unset.out;
}

// The tool as the build runs it, on the probe's own source.
struct ToolRun {
  test_helpers::ProgramResult result;
  std::string generated;
  std::string depfile;
};

ToolRun run_tool(const fs::path& source, const TempDir& dir, std::vector<std::string> extra = {"--report"}) {
  std::vector<std::string> args{source.string(), (dir / "out.cpp").string(), "--depfile", (dir / "out.d").string()};
  args.insert(args.end(), extra.begin(), extra.end());
  ToolRun run;
  run.result = run_program(SPLIT_BARRIERS_TOOL, args, dir.path());
  if (fs::exists(dir / "out.cpp")) run.generated = read_file(dir / "out.cpp");
  if (fs::exists(dir / "out.d")) run.depfile = read_file(dir / "out.d");
  return run;
}

TEST(SplitTool, ReportGivesEachKernelOfTheProbeItsVerdict) {
  TempDir dir;
  const ToolRun run = run_tool(SPLIT_PROBE_SOURCE, dir);
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_EQ(run.result.err, "");
  const std::string path = fs::weakly_canonical(SPLIT_PROBE_SOURCE).string();
  const std::vector<std::string> lines = split_lines(run.result.out);
  const std::vector<std::pair<std::string, std::string>> verdicts = {
      {"carry_locals", "split at its barriers"},
      {"early_exit", "split at its barriers"},
      {"rotate", "split at its barriers"},
      {"rotate_back", "split at its barriers"},
      {"loop_reduce", "left to fibers: a barrier inside a nested statement"},
      {"stack_address", "split at its barriers"},
      {"synced_elsewhere", "split at its barriers"},
      {"fill_rows", "runs in rows (no barrier, no shared memory, no loop)"},
      {"take_tickets", "runs in rows (no barrier, no shared memory, no loop)"},
      {"widen_window", "split at its barriers"},
      {"offset_by_reference", "split at its barriers"},
  };
  for (const auto& [kernel, verdict] : verdicts) {
    const std::string line = path + ": kernel " + kernel + ": " + verdict;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line << "\nin:\n" << run.result.out;
  }
  EXPECT_EQ(lines.size(), verdicts.size()) << run.result.out;
  EXPECT_NE(run.generated.find("#include \"" + path + "\"\n"), std::string::npos) << run.generated;
  const std::string io = fs::weakly_canonical(fs::path(path).parent_path() / "probe_io.h").string();
  EXPECT_EQ(run.depfile, (dir / "out.cpp").string() + ": " + path + " " + io + "\n");
}

TEST(SplitTool, FollowsIncludedKernelSourcesAndWritesThemToTheDepfile) {
  TempDir dir;
  fs::create_directory(dir / "kernels");
  write_file(dir / "kernels" / "shift.cuh",
             "__global__ void shift(int* out) {\n"
             "  __shared__ int s[64];\n"
             "  int t = threadIdx.x;\n"
             "  s[t] = t;\n"
             "  __syncthreads();\n"
             "  out[t] = s[(t + 1) % 64];\n"
             "}\n");
  write_file(dir / "main.cu",
             "#include <vector>\n"
             "#include \"absent.cu\"\n"
             "#include \"kernels/shift.cuh\"\n"
             "#include \"kernels/shift.cuh\"\n"
             "int main() { return 0; }\n");
  const ToolRun run = run_tool(dir / "main.cu", dir);
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  const std::string main_path = fs::weakly_canonical(dir / "main.cu").string();
  const std::string kernel_path = fs::weakly_canonical(dir / "kernels" / "shift.cuh").string();
  EXPECT_EQ(run.result.out, kernel_path + ": kernel shift: split at its barriers\n");
  EXPECT_EQ(run.depfile, (dir / "out.cpp").string() + ": " + main_path + " " + kernel_path + "\n")
      << "each file once, a missing include skipped";
  EXPECT_NE(run.generated.find("shift_in_regions"), std::string::npos) << run.generated;
  EXPECT_NE(run.generated.find("#line 4 \"" + kernel_path + "\""), std::string::npos)
      << "errors in the generated code point at the kernel's own lines\n"
      << run.generated;

  // Without --report the tool is silent.
  TempDir quiet;
  const ToolRun silent = run_tool(dir / "main.cu", quiet, {});
  EXPECT_EQ(silent.result.exit_status, 0);
  EXPECT_EQ(silent.result.out, "");
  EXPECT_EQ(silent.generated, run.generated);
}

TEST(SplitTool, RefusesBadCommandLinesAndMissingFiles) {
  TempDir dir;
  write_file(dir / "k.cu", "int x;\n");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string missing = (dir / "missing.cu").string();
  const std::vector<Case> cases = {
      {{}, "split_barriers: usage: split_barriers <source> <output> [--depfile <file>] [--report]\n"},
      {{"k.cu"}, "split_barriers: usage: split_barriers <source> <output> [--depfile <file>] [--report]\n"},
      {{"k.cu", "o.cpp", "--verbose"}, "split_barriers: unknown option '--verbose'\n"},
      {{missing, "o.cpp"}, "split_barriers: cannot open " + missing + ": No such file or directory\n"},
      {{dir.path().string(), "o.cpp"}, "split_barriers: cannot read " + dir.path().string() + ": Is a directory\n"},
      {{"k.cu", (dir / "no_dir" / "o.cpp").string()},
       "split_barriers: cannot create " + (dir / "no_dir" / "o.cpp").string() + ": No such file or directory\n"},
  };
  for (const Case& c : cases) {
    const auto result = run_program(SPLIT_BARRIERS_TOOL, c.args, dir.path());
    EXPECT_EQ(result.exit_status, 1) << c.err;
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_FALSE(fs::exists(dir / "o.cpp")) << "nothing written for a refused command line";
}

// halvik's two kernels are split; its image must not change with the mode.
TEST(SplitHalvik, BothModesPrintAndCopyTheSameBytes) {
  const fs::path halvik = test_helpers::program_path("halvik");
  if (!fs::exists(halvik)) GTEST_SKIP() << halvik << " is not built";
  struct Run {
    test_helpers::ProgramResult result;
    std::vector<std::string> digests;
  };
  auto run = [&](const char* barriers) {
    TempDir dir;
    const std::string trace = (dir / "trace.jsonl").string();
    Run r;
    r.result = run_program(halvik, {"64", "48", "0", "15", "0", "15", "0.5", "3"}, dir.path(),
                           {{"CUDART_BARRIERS", barriers}, {"CUDART_TRACE", trace}});
    for (const auto& copy : calls_named(read_trace(trace), "cudaMemcpy")) r.digests.push_back(copy["digest"].str());
    return r;
  };
  const Run regions = run("regions");
  const Run fibers = run("fibers");
  ASSERT_EQ(regions.result.exit_status, 0) << regions.result.err;
  ASSERT_EQ(fibers.result.exit_status, 0) << fibers.result.err;
  EXPECT_EQ(regions.result.out, "Randomizing the input matrix\nStart the HALVIK main loop\nComputation Done\n");
  EXPECT_EQ(regions.result.out, fibers.result.out);
  EXPECT_EQ(regions.result.err, fibers.result.err);
  EXPECT_EQ(regions.digests.size(), 6u) << "two copies per iteration";
  EXPECT_EQ(regions.digests, fibers.digests);
  // The image changes from one iteration to the next: the kernels did work.
  ASSERT_EQ(regions.digests.size(), 6u);
  EXPECT_NE(regions.digests[1], regions.digests[3]);
}

}  // namespace
