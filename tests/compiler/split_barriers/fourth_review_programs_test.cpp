// fourth_review_probe run as a user runs it, with every kernel's region form
// (CUDART_BARRIERS=regions) and with fibers only, on one and two workers:
// each run must print what the host computes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "probe_runs.h"

namespace {

using split_probe_runs::kThreads;
using split_probe_runs::slot;

void expect_in_every_mode(const std::string& scenario, const std::function<long long(unsigned, unsigned)>& expected) {
  split_probe_runs::expect_in_every_mode(FOURTH_REVIEW_PROBE, scenario, expected);
}

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
  const std::vector<std::string> lines = split_probe_runs::report_lines(FOURTH_REVIEW_PROBE_SOURCE);
  for (const char* kernel : {"const_local_overload", "const_parameter_overload", "later_overload", "later_name"}) {
    const std::string key = std::string(": kernel ") + kernel + ": ";
    int verdicts = 0;
    for (const std::string& line : lines) verdicts += line.find(key) != std::string::npos ? 1 : 0;
    EXPECT_EQ(verdicts, 1) << kernel;
  }
}

}  // namespace
