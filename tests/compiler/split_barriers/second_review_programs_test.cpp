// second_review_probe run as a user runs it, with every kernel's region form
// (CUDART_BARRIERS=regions) and with fibers only, on one and two workers:
// each run must print what the host computes, and the tool must split every
// kernel these scenarios aim at, so that the regions run really is the form.
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
  split_probe_runs::expect_in_every_mode(SECOND_REVIEW_PROBE, scenario, expected);
}

// in[k] as the probe fills it.
long long input(long long k) { return k * 7 % 31 + 1; }

TEST(SplitSecondReviewProbe, LocalPointerMovedByPostIncrementIsNotComputedAgain) {
  expect_in_every_mode("post_increment_local",
                       [](unsigned b, unsigned t) { return input(slot(b, t)) * 1000 + input(slot(b, t) + 1); });
}

TEST(SplitSecondReviewProbe, ParameterMovedByPostIncrementStaysPerThread) {
  expect_in_every_mode("post_increment_parameter", [](unsigned, unsigned) { return input(0) * 1000 + input(1); });
}

TEST(SplitSecondReviewProbe, PointerIntoALocalsMemberArrayOutlivesNoRegion) {
  expect_in_every_mode("member_array_decay", [](unsigned b, unsigned t) { return 3 * slot(b, t); });
}

TEST(SplitSecondReviewProbe, PointerToALocalMadeByADeviceFunctionOutlivesNoRegion) {
  expect_in_every_mode("address_from_function", [](unsigned b, unsigned t) { return 5 * slot(b, t); });
}

TEST(SplitSecondReviewProbe, AddressOfALocalUnderAQualifiedCastIsSeen) {
  expect_in_every_mode("qualified_cast_address", [](unsigned b, unsigned t) { return 7 * slot(b, t); });
}

TEST(SplitSecondReviewProbe, ParameterWithADefaultValueStaysPerThread) {
  expect_in_every_mode("default_argument", [](unsigned, unsigned t) { return 40 + (long long)t; });
}

TEST(SplitSecondReviewProbe, PointerToArrayParameterStaysPerThread) {
  expect_in_every_mode("pointer_to_rows", [](unsigned, unsigned) { return 11LL; });
}

TEST(SplitSecondReviewProbe, ConstexprLocalDoesNotShadowTheGlobalBeforeItsDeclaration) {
  expect_in_every_mode("constexpr_shadow", [](unsigned, unsigned) { return 35LL; });
}

TEST(SplitSecondReviewProbe, LocalChangedByAMemberFunctionIsNotComputedAgain) {
  expect_in_every_mode("member_function_local", [](unsigned b, unsigned t) { return slot(b, t) + 7; });
}

TEST(SplitSecondReviewProbe, LocalChangedInsideAMacroIsNotComputedAgain) {
  expect_in_every_mode("macro_passes_local", [](unsigned, unsigned t) { return (long long)t + 100; });
}

TEST(SplitSecondReviewProbe, LocalsAssignedInParenthesesAreNotComputedAgain) {
  expect_in_every_mode("parenthesised_lvalue", [](unsigned, unsigned t) {
    return ((long long)t + 10) * 100 + (t % 2 ? 2LL * t - 1 : 2LL * t);
  });
}

TEST(SplitSecondReviewProbe, ParameterBoundThroughABracedArgumentStaysPerThread) {
  expect_in_every_mode("braced_reference", [](unsigned, unsigned) { return 41LL; });
}

TEST(SplitSecondReviewProbe, AssignmentAcrossASplicedLineIsSeen) {
  expect_in_every_mode("line_splice", [](unsigned, unsigned t) { return (long long)t + 10; });
}

// Holds today: inner scopes that reuse the names of kept or recomputed
// locals, and compound statements (if/else chains, switch, do-while, for)
// in a region after a barrier.
TEST(SplitSecondReviewProbe, InnerScopesReusingNamesKeepTheirOwnValues) {
  expect_in_every_mode("nested_shadowing",
                       [](unsigned, unsigned t) { return (108 + 3LL * t) * 10 + 2LL * t; });
}

// Every kernel of the probe is split at its barriers: the regions runs above
// exercise the forms, not fibers.
// The probe's kernels get the verdicts the scenarios rely on: the ones the
// splitter now leaves to fibers still check their results in both modes.
TEST(SplitSecondReviewTool, EveryProbeKernelGetsItsVerdict) {
  const std::vector<std::string> lines = split_probe_runs::report_lines(SECOND_REVIEW_PROBE_SOURCE);
  const std::string path = split_probe_runs::report_path(SECOND_REVIEW_PROBE_SOURCE);
  const std::vector<std::pair<const char*, const char*>> verdicts = {
      {"post_increment_local", "split at its barriers"},
      {"post_increment_parameter", "split at its barriers"},
      {"member_array_decay", "left to fibers: local 'pair', used after a barrier, is of a class type"},
      {"address_from_function", "split at its barriers"},
      {"qualified_cast_address", "split at its barriers"},
      {"default_argument", "left to fibers: a parameter we cannot read: 'int base = 0'"},
      {"pointer_to_rows", "left to fibers: a parameter we cannot read: 'int (*rows)[4]'"},
      {"constexpr_shadow", "left to fibers: 'kScale', declared after its first use, hides another name"},
      {"member_function_local", "left to fibers: local 'c', used after a barrier, is of a class type"},
      {"macro_passes_local", "left to fibers: macro 'ADD_HUNDRED_TO_T' names 't' of the kernel"},
      {"parenthesised_lvalue", "split at its barriers"},
      {"braced_reference", "split at its barriers"},
      {"line_splice", "split at its barriers"},
      {"nested_shadowing", "split at its barriers"}};
  for (const auto& [kernel, verdict] : verdicts) {
    const std::string line = path + ": kernel " + kernel + ": " + verdict;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line << "\nin a report of " << lines.size() << " lines";
  }
}

}  // namespace
