// fourth_review_probe run as a user runs it, with every kernel's region form
// (CUDART_BARRIERS=regions) and with fibers only, on one and two workers:
// each run must print what the host computes.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "program_runner.h"

namespace {

using test_support::run_program;
using test_support::split_lines;
using test_support::TempDir;

// 1-D blocks, several of them, so that every block's threads show.
constexpr unsigned kThreads = 6, kBlocks = 3;

struct Mode {
  const char* barriers;
  const char* workers;
};

const std::vector<Mode> kModes = {{"regions", "1"}, {"regions", "2"}, {"fibers", "1"}, {"fibers", "2"}};

// Runs the scenario in every mode: the launch succeeds and out[block * kThreads
// + t] is expected(block, t) for every thread.
void expect_in_every_mode(const std::string& scenario, const std::function<long long(unsigned, unsigned)>& expected) {
  for (const Mode& mode : kModes) {
    const std::string where =
        scenario + " (CUDART_BARRIERS=" + mode.barriers + " CUDART_WORKERS=" + mode.workers + ")";
    TempDir dir;
    const auto run = run_program(FOURTH_REVIEW_PROBE,
                                 {scenario, std::to_string(kThreads), "1", "1", std::to_string(kBlocks), "1", "1"},
                                 dir.path(), {{"CUDART_BARRIERS", mode.barriers}, {"CUDART_WORKERS", mode.workers}});
    ASSERT_EQ(run.exit_status, 0) << where << "\n" << run.err;
    EXPECT_EQ(run.err, "") << where;
    const std::vector<std::string> lines = split_lines(run.out);
    ASSERT_EQ(lines.size(), 2u) << where << "\n" << run.out;
    EXPECT_EQ(lines[0], "status 0 0") << where;
    std::istringstream words(lines[1]);
    std::string head;
    words >> head;
    ASSERT_EQ(head, "out:") << where;
    std::vector<long long> actual;
    for (long long v; words >> v;) actual.push_back(v);
    ASSERT_EQ(actual.size(), kThreads * kBlocks) << where;
    int reported = 0;
    for (unsigned b = 0; b < kBlocks; ++b)
      for (unsigned t = 0; t < kThreads && reported < 4; ++t)
        if (actual[b * kThreads + t] != expected(b, t)) {
          ADD_FAILURE() << where << ": block " << b << " thread " << t << " wrote " << actual[b * kThreads + t]
                        << ", expected " << expected(b, t);
          reported++;
        }
  }
}

long long slot(unsigned b, unsigned t) { return (long long)b * kThreads + t; }

TEST(SplitFourthReviewProbe, ConstLocalKeptPerThreadStillCallsTheConstOverload) {
  expect_in_every_mode("const_local_overload", [](unsigned b, unsigned t) { return 20 + slot(b, t); });
}

TEST(SplitFourthReviewProbe, ConstParameterCopiedPerThreadStillCallsTheConstOverload) {
  expect_in_every_mode("const_parameter_overload", [](unsigned, unsigned t) { return 20LL + t; });
}

TEST(SplitFourthReviewProbe, OverloadDeclaredAfterTheKernelIsNotCalled) {
  expect_in_every_mode("later_overload", [](unsigned, unsigned t) { return 100LL + t; });
}

TEST(SplitFourthReviewProbe, NameDeclaredLaterInTheKernelsNamespaceDoesNotHideTheGlobal) {
  expect_in_every_mode("later_name", [](unsigned, unsigned t) { return 700LL + t; });
}

// The probe's kernels must reach the region form for the tests above to
// mean anything, until the build learns to refuse them.
TEST(SplitFourthReviewTool, EveryProbeKernelGetsOneVerdict) {
  TempDir dir;
  const auto run = run_program(SPLIT_BARRIERS_TOOL,
                               {FOURTH_REVIEW_PROBE_SOURCE, (dir.path() / "out.cu").string(), "--report"}, dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.err;
  for (const char* kernel : {"const_local_overload", "const_parameter_overload", "later_overload", "later_name"}) {
    const std::string key = std::string(": kernel ") + kernel + ": ";
    int verdicts = 0;
    for (const std::string& line : split_lines(run.out)) verdicts += line.find(key) != std::string::npos ? 1 : 0;
    EXPECT_EQ(verdicts, 1) << kernel << "\n" << run.out;
  }
}

}  // namespace
