// third_review_probe run as a user runs it, with every kernel's region form
// (CUDART_BARRIERS=regions) and with fibers only, on one and two workers:
// each run must print what the host computes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "probe_runs.h"

namespace {

using split_probe_runs::kThreads;
using split_probe_runs::slot;

void expect_in_every_mode(const std::string& scenario, const std::function<long long(unsigned, unsigned)>& expected) {
  split_probe_runs::expect_in_every_mode(THIRD_REVIEW_PROBE, scenario, expected);
}

TEST(SplitThirdReviewProbe, ConstantDeclaredAfterAUseInItsRegionDoesNotHideTheGlobal) {
  expect_in_every_mode("constant_after_use", [](unsigned, unsigned) { return 35LL; });
}

TEST(SplitThirdReviewProbe, ClassLocalChangedThroughItsSubscriptIsNotComputedAgain) {
  expect_in_every_mode("class_subscript", [](unsigned, unsigned t) { return (long long)t + 40; });
}

TEST(SplitThirdReviewProbe, AddressOfALocalLeftInSharedMemoryOutlivesNoRegion) {
  expect_in_every_mode("escaped_address", [](unsigned b, unsigned t) { return 5 * slot(b, t); });
}

TEST(SplitThirdReviewProbe, LocalChangedThroughATypedefReferenceIsNotComputedAgain) {
  expect_in_every_mode("typedef_reference", [](unsigned, unsigned t) { return (long long)t + 5; });
}

TEST(SplitThirdReviewProbe, LocalNamedLikeABuiltinIsReadWhereTheKernelReadsIt) {
  expect_in_every_mode("builtin_named_local", [](unsigned, unsigned) { return 14LL; });
}

TEST(SplitThirdReviewProbe, CodeAfterARawStringOnItsLineIsSeen) {
  expect_in_every_mode("raw_string", [](unsigned, unsigned t) { return (long long)t + 5; });
}

TEST(SplitThirdReviewProbe, ParameterBoundThroughDigraphBracesStaysPerThread) {
  expect_in_every_mode("digraph_braces", [](unsigned, unsigned) { return 41LL; });
}

TEST(SplitThirdReviewProbe, MacroRedefinedInAHeaderFromTheIncludePathDoesNotReachTheForm) {
  expect_in_every_mode("macro_changed_unseen", [](unsigned, unsigned t) { return 4LL * t + 4; });
}

// Each kernel of the probe gets one verdict: split, or left to fibers with
// a reason. Today every one is split, so the regions runs above exercise
// the forms rather than fibers.
TEST(SplitThirdReviewTool, EveryProbeKernelGetsOneVerdict) {
  const std::vector<std::string> lines = split_probe_runs::report_lines(THIRD_REVIEW_PROBE_SOURCE);
  const std::string path = split_probe_runs::report_path(THIRD_REVIEW_PROBE_SOURCE);
  for (const char* kernel : {"constant_after_use", "class_subscript", "escaped_address", "typedef_reference",
                             "builtin_named_local", "raw_string", "digraph_braces", "macro_changed_unseen"}) {
    const std::string head = path + ": kernel " + kernel + ": ";
    const auto verdicts = std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line == head + "split at its barriers" || line.rfind(head + "left to fibers: ", 0) == 0;
    });
    EXPECT_EQ(verdicts, 1) << kernel << "\nin a report of " << lines.size() << " lines";
  }
}

}  // namespace
