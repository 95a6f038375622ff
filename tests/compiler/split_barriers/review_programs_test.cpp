// review_probe run as a user runs it, with every kernel's region or row form
// (CUDART_BARRIERS=regions) and with fibers only, on one and two workers:
// each run must print what the host computes, and the tool must give each
// kernel the verdict these scenarios rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "probe_runs.h"
#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
using test_helpers::run_program;
using test_helpers::split_lines;
using test_helpers::TempDir;

constexpr long long kLaunchFailure = 719;

using split_probe_runs::describe;
using split_probe_runs::expect_values;
using split_probe_runs::kModes;
using split_probe_runs::Mode;
using split_probe_runs::ProbeOutput;
using split_probe_runs::Shape;
using split_probe_runs::shape_name;

ProbeOutput run_probe(const std::string& scenario, const Shape& s, const Mode& mode) {
  return split_probe_runs::run_probe(REVIEW_PROBE, scenario, s, mode);
}

// Runs the scenario in every mode: each launch succeeds and every array
// holds what the host computed.
void expect_in_every_mode(const std::string& scenario, const Shape& shape,
                          const std::map<std::string, std::vector<double>>& expected, size_t launches = 1,
                          const std::vector<Mode>& modes = kModes) {
  for (const Mode& mode : modes) {
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
  }
}

// One value per thread of every block, block after block: f(block, t) with t
// the thread's linear index within its block.
template <typename F>
std::vector<double> per_thread(const Shape& s, F f) {
  std::vector<double> out;
  for (unsigned b = 0; b < s.blocks(); ++b)
    for (unsigned t = 0; t < s.threads(); ++t) out.push_back(f(b, t));
  return out;
}

// 1-D blocks, several of them, so that a value shared by mistake shows in
// every thread but the first of each block.
const Shape kLine{6, 1, 1, 3, 1, 1};

TEST(SplitReviewProbe, VectorParameterChangedThroughAMemberStaysPerThread) {
  expect_in_every_mode("member_param", kLine, {{"out", per_thread(kLine, [](unsigned, unsigned t) { return 100 + t; })}});
}

TEST(SplitReviewProbe, LocalChangedThroughAMemberIsNotComputedAgain) {
  expect_in_every_mode("member_local", kLine, {{"out", per_thread(kLine, [](unsigned, unsigned t) { return t + 10; })}});
}

TEST(SplitReviewProbe, ValueReadThroughACastDereferenceIsKept) {
  expect_in_every_mode("cast_read", kLine, {{"out", per_thread(kLine, [](unsigned b, unsigned) { return 5 + b; })}});
}

TEST(SplitReviewProbe, ParameterBoundToAReferenceInParenthesesStaysPerThread) {
  expect_in_every_mode("paren_argument", kLine,
                       {{"out", per_thread(kLine, [](unsigned, unsigned t) { return 40 + t; })}});
}

TEST(SplitReviewProbe, ParameterBoundToAReferenceThroughAConditionalStaysPerThread) {
  expect_in_every_mode("ternary_argument", kLine,
                       {{"out", per_thread(kLine, [](unsigned, unsigned t) { return 40 + t; })}});
}

TEST(SplitReviewProbe, LocalChangedThroughAReferenceIsNotComputedAgain) {
  expect_in_every_mode("alias_reference", kLine,
                       {{"out", per_thread(kLine, [](unsigned, unsigned t) { return t + 10; })}});
}

TEST(SplitReviewProbe, AddressOfALocalTakenThroughACastIsRefused) {
  expect_in_every_mode("cast_address", kLine,
                       {{"out", per_thread(kLine, [](unsigned, unsigned t) { return 3 * t; })}});
}

TEST(SplitReviewProbe, MacroNumericOnlyInAnotherDefinitionIsNotComputedAgain) {
  expect_in_every_mode("macro_step", kLine, {{"out", per_thread(kLine, [](unsigned, unsigned t) { return 3 * t; })}});
}

TEST(SplitReviewProbe, MacroDefinedAfterTheKernelDoesNotReachItsRegionForm) {
  expect_in_every_mode("late_macro", kLine, {{"out", per_thread(kLine, [](unsigned, unsigned t) { return t + 5; })}});
}

TEST(SplitReviewProbe, MixedDeclaratorsKeepTheirValues) {
  const Shape s{9, 1, 1, 2, 1, 1};
  expect_in_every_mode("mixed_declarators", s, {{"out", per_thread(s, [](unsigned, unsigned t) -> long long {
                                                  const long long in = t * t % 17;
                                                  const long long wide = (long long)(unsigned)(t - 1u) * 3;
                                                  return wide % 1000 + (t % 2 ? in + 1 : 2 * (in + 1)) + 8 + t;
                                                })}});
}

TEST(SplitReviewProbe, ReturnFromNestedLoopsInTheLastRegionEndsOnlyThatThread) {
  const Shape s{12, 1, 1, 2, 1, 1};
  expect_in_every_mode("return_in_loops", s,
                       {{"out", per_thread(s, [](unsigned, unsigned t) -> long long {
                           return t < 9 ? 1000 + 2 * (long long)t : -5LL;  // out starts at 1000 + t, one step per cell walked
                         })}});
}

// A barrier the build cannot see, in a kernel given a row form: the rows
// cannot honour it and the launch fails, where a width that is no power of
// two (no rows) and fibers run it as written.
TEST(SplitReviewRows, BarrierHiddenFromTheSplitterFailsTheLaunchInRows) {
  const Shape rows{8, 1, 1, 3, 1, 1};
  for (const Mode& mode : kModes) {
    ProbeOutput run = run_probe("row_far_barrier", rows, mode);
    ASSERT_EQ(run.result.exit_status, 0) << describe(mode) << "\n" << run.result.err;
    ASSERT_EQ(run.statuses.size(), 1u) << describe(mode);
    if (std::string(mode.barriers) == "regions") {
      EXPECT_EQ(run.statuses[0], (std::vector<long long>{0, kLaunchFailure})) << describe(mode);
    } else {
      EXPECT_EQ(run.statuses[0], (std::vector<long long>{0, 0})) << describe(mode);
      expect_values(run.arrays["out"], per_thread(rows, [](unsigned, unsigned t) { return t + 1; }), describe(mode));
    }
  }
  const Shape odd{6, 1, 1, 3, 1, 1};
  expect_in_every_mode("row_far_barrier", odd, {{"out", per_thread(odd, [](unsigned, unsigned t) { return t + 1; })}});
}

class SplitReviewRowBox : public ::testing::TestWithParam<Shape> {};

// Row forms over 2-D and 3-D blocks and grids, widths 1 to 1024, a grid
// overhanging the box it covers and one wider than a worker's share.
TEST_P(SplitReviewRowBox, RowsCoverTheBoxAsWritten) {
  const Shape s = GetParam();
  const long long width = s.bx * s.gx - (s.bx > 1 ? 1 : 0);
  const long long height = s.by * s.gy - (s.by > 1 ? 1 : 0);
  const long long depth = s.bz * s.gz - (s.bz > 1 ? 1 : 0);
  const long long shape = s.bx * 7 + s.by * 5 + s.bz * 3 + s.gx * 11 + s.gy * 13 + s.gz * 17;
  std::vector<double> box;
  for (long long z = 0; z < depth; ++z)
    for (long long y = 0; y < height; ++y)
      for (long long x = 0; x < width; ++x) box.push_back(shape + x * 1000 + y * 100 + z * 10);
  // The count is not atomic: one worker only.
  expect_in_every_mode("row_box", s, {{"box", box}, {"count", {(double)(s.threads() * s.blocks())}}}, 2,
                       {{"regions", "1"}, {"fibers", "1"}});
  expect_in_every_mode("row_box", s, {{"box", box}}, 2, {{"regions", "2"}});
}

INSTANTIATE_TEST_SUITE_P(Shapes, SplitReviewRowBox,
                         ::testing::Values(Shape{1, 4, 2, 5, 2, 3}, Shape{1024, 1, 1, 3, 2, 1},
                                           Shape{8, 4, 2, 3, 3, 2}, Shape{4, 1, 1, 2000, 1, 1},
                                           Shape{16, 2, 1, 7, 1, 4}),
                         shape_name);

// The scenarios that pass rely on these verdicts: each of those kernels is
// given the form its test means to exercise.
TEST(SplitReviewTool, PassingScenariosRunTheFormsTheyMeanToExercise) {
  TempDir dir;
  const auto run = run_program(SPLIT_BARRIERS_TOOL,
                               {REVIEW_PROBE_SOURCE, (dir / "out.cpp").string(), "--report"}, dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::string path = fs::weakly_canonical(REVIEW_PROBE_SOURCE).string();
  const std::vector<std::string> lines = split_lines(run.out);
  const std::string split = "split at its barriers", rows = "runs in rows (no barrier, no shared memory, no loop)";
  const std::vector<std::pair<std::string, std::string>> verdicts = {{"mixed_declarators", split},
                                                                     {"return_in_loops", split},
                                                                     {"row_box", rows},
                                                                     {"row_count", rows},
                                                                     {"row_far_barrier", rows}};
  for (const auto& [kernel, verdict] : verdicts) {
    const std::string line = path + ": kernel " + kernel + ": " + verdict;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line << "\nin:\n" << run.out;
  }
}

}  // namespace
