// fifth_review_probe run as a user runs it, with every kernel's forms
// (CUDART_BARRIERS=regions) and with fibers only, on one and two workers:
// each run must print what the host computes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "probe_runs.h"

namespace {

using split_probe_runs::describe;
using split_probe_runs::expect_values;
using split_probe_runs::kModes;
using split_probe_runs::Mode;
using split_probe_runs::ProbeOutput;
using split_probe_runs::run_probe;
using split_probe_runs::Shape;
using split_probe_runs::shape_name;
using split_probe_runs::values_of;

// What row_box2d leaves in out, in the probe's order of threads.
std::vector<double> box2d(const Shape& s) {
  const long long width = (long long)s.bx * s.gx - 1, height = (long long)s.by * s.gy - 1;
  const long long shape = s.gx + s.gy + s.bx + s.by;
  std::vector<double> out;
  for (unsigned gz = 0; gz < s.gz; ++gz)
    for (unsigned gy = 0; gy < s.gy; ++gy)
      for (unsigned gx = 0; gx < s.gx; ++gx)
        for (unsigned tz = 0; tz < s.bz; ++tz)
          for (unsigned ty = 0; ty < s.by; ++ty)
            for (unsigned tx = 0; tx < s.bx; ++tx) {
              const long long col = (long long)gx * s.bx + tx, row = (long long)gy * s.by + ty;
              out.push_back(col < width && row < height ? col * 1000 + row * 10 + shape : -1);
            }
  return out;
}

class SplitFifthReviewRowBox : public ::testing::TestWithParam<Shape> {};

// 2-D and 3-D blocks over a box one column and one row smaller than the
// grid; grids of 37 blocks a row give two workers chunks of two blocks that
// start in one grid row and end in the next; a width of six has no row form.
TEST_P(SplitFifthReviewRowBox, RowsWriteTheBoxAsTheKernelDoes) {
  const Shape s = GetParam();
  for (const Mode& mode : kModes) {
    const ProbeOutput run = run_probe(FIFTH_REVIEW_PROBE, "row_box2d", s, mode);
    ASSERT_EQ(run.result.exit_status, 0) << describe(mode) << "\n" << run.result.err;
    ASSERT_EQ(run.statuses, (std::vector<std::vector<long long>>{{0, 0}})) << describe(mode);
    expect_values(values_of(run, "out"), box2d(s), describe(mode));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SplitFifthReviewRowBox,
                         ::testing::Values(Shape{8, 4, 1, 37, 2, 1}, Shape{1, 1, 1, 37, 3, 2},
                                           Shape{16, 2, 2, 3, 2, 2}, Shape{6, 2, 1, 5, 3, 1},
                                           Shape{1024, 1, 1, 2, 2, 1}),
                         shape_name);

// Rows run a run of blocks row by row, so blocks interleave; the threads of
// one block must still take their tickets in order, x fastest, then y, then
// z, and every thread exactly one. The counter is not atomic: one worker.
TEST(SplitFifthReviewRows, ThreadsOfABlockTakeTicketsFromAStaticCounterInOrder) {
  const Shape s{4, 3, 2, 64, 1, 1};  // one worker takes runs of four blocks
  for (const Mode& mode : {Mode{"regions", "1"}, Mode{"fibers", "1"}}) {
    const ProbeOutput run = run_probe(FIFTH_REVIEW_PROBE, "row_tickets", s, mode);
    ASSERT_EQ(run.result.exit_status, 0) << describe(mode) << "\n" << run.result.err;
    ASSERT_EQ(run.statuses, (std::vector<std::vector<long long>>{{0, 0}})) << describe(mode);
    std::vector<double> tickets = values_of(run, "out");
    ASSERT_EQ(tickets.size(), (size_t)s.threads() * s.blocks()) << describe(mode);
    for (unsigned b = 0; b < s.blocks(); ++b) {
      const auto first = tickets.begin() + (long)b * s.threads();
      EXPECT_TRUE(std::is_sorted(first, first + s.threads())) << describe(mode) << " block " << b;
    }
    std::sort(tickets.begin(), tickets.end());
    for (size_t i = 0; i < tickets.size(); ++i) ASSERT_EQ(tickets[i], (double)i) << describe(mode);
  }
}

// A local computed from another before that one is assigned keeps the
// value it was computed with, across the barrier.
TEST(SplitFifthReviewProbe, LocalComputedBeforeItsSourceChangesKeepsItsValue) {
  split_probe_runs::expect_in_every_mode(FIFTH_REVIEW_PROBE, "assigned_after_use",
                                         [](unsigned, unsigned t) { return 200LL * t + 7; });
}

// A local read from a device variable before a barrier is not read again
// after another thread changes the variable.
TEST(SplitFifthReviewProbe, LocalReadFromADeviceVariableIsNotReadAgain) {
  split_probe_runs::expect_in_every_mode(FIFTH_REVIEW_PROBE, "device_variable_changes",
                                         [](unsigned, unsigned t) { return 40LL + t; });
}

// The scenarios above mean to exercise these forms.
TEST(SplitFifthReviewTool, ProbeKernelsGetTheFormsTheirTestsExercise) {
  const std::vector<std::string> lines = split_probe_runs::report_lines(FIFTH_REVIEW_PROBE_SOURCE);
  const std::string path = split_probe_runs::report_path(FIFTH_REVIEW_PROBE_SOURCE);
  const std::string split = "split at its barriers", rows = "runs in rows (no barrier, no shared memory, no loop)";
  for (const auto& [kernel, verdict] : std::vector<std::pair<std::string, std::string>>{
           {"row_box2d", rows},
           {"row_tickets", rows},
           {"assigned_after_use", split},
           {"device_variable_changes", split}}) {
    const std::string line = path + ": kernel " + kernel + ": " + verdict;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
  }
}

}  // namespace
