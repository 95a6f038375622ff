// second_review_probe run as a user runs it, with every kernel's region form
// (CUDART_BARRIERS=regions) and with fibers only, on one and two workers:
// each run must print what the host computes, and the tool must split every
// kernel these scenarios aim at, so that the regions run really is the form.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
using test_support::run_program;
using test_support::split_lines;
using test_support::TempDir;

// 1-D blocks, several of them, so that a value one thread leaves to the next
// shows in every thread but the first of each block.
constexpr unsigned kThreads = 6, kBlocks = 3;

struct Mode {
  const char* barriers;
  const char* workers;
};

const std::vector<Mode> kModes = {{"regions", "1"}, {"regions", "2"}, {"fibers", "1"}, {"fibers", "2"}};

// in[k] as the probe fills it.
long long input(long long k) { return k * 7 % 31 + 1; }

// Runs the scenario in every mode: the launch succeeds and out[block * kThreads
// + t] is expected(block, t) for every thread.
void expect_in_every_mode(const std::string& scenario, const std::function<long long(unsigned, unsigned)>& expected) {
  for (const Mode& mode : kModes) {
    const std::string where =
        scenario + " (CUDART_BARRIERS=" + mode.barriers + " CUDART_WORKERS=" + mode.workers + ")";
    TempDir dir;
    const auto run = run_program(SECOND_REVIEW_PROBE,
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

TEST(SplitSecondReviewProbe, LocalPointerMovedByPostIncrementIsNotComputedAgain) {
  GTEST_SKIP() << "splitter bug: '*p++' is read as a write through p, not a change of p, so p is computed again after the barrier from its initialiser and reads in[i] instead of in[i + 1]";
  expect_in_every_mode("post_increment_local",
                       [](unsigned b, unsigned t) { return input(slot(b, t)) * 1000 + input(slot(b, t) + 1); });
}

TEST(SplitSecondReviewProbe, ParameterMovedByPostIncrementStaysPerThread) {
  GTEST_SKIP() << "splitter bug: '*in++' is not seen to change the parameter in, so the block's threads share one in, each moving it one further (thread t reads in[t], then in[blockDim.x])";
  expect_in_every_mode("post_increment_parameter", [](unsigned, unsigned) { return input(0) * 1000 + input(1); });
}

TEST(SplitSecondReviewProbe, PointerIntoALocalsMemberArrayOutlivesNoRegion) {
  GTEST_SKIP() << "splitter bug: 'int* p = pair.v;' (a local's member array, decayed) is kept for the next region while pair dies with its region's iteration; the next region reads dead storage (0 here)";
  expect_in_every_mode("member_array_decay", [](unsigned b, unsigned t) { return 3 * slot(b, t); });
}

TEST(SplitSecondReviewProbe, PointerToALocalMadeByADeviceFunctionOutlivesNoRegion) {
  GTEST_SKIP() << "splitter bug: 'int* p = address_of(x);' is kept for the next region while x dies with its region's iteration; the next region reads dead storage (0 here)";
  expect_in_every_mode("address_from_function", [](unsigned b, unsigned t) { return 5 * slot(b, t); });
}

TEST(SplitSecondReviewProbe, AddressOfALocalUnderAQualifiedCastIsSeen) {
  GTEST_SKIP() << "splitter bug: '(probe::word*)&x' is not taken for a cast (two names in the group), so '&' is read as binary and the address of x is kept past its region (reads 0)";
  expect_in_every_mode("qualified_cast_address", [](unsigned b, unsigned t) { return 7 * slot(b, t); });
}

TEST(SplitSecondReviewProbe, ParameterWithADefaultValueStaysPerThread) {
  GTEST_SKIP() << "splitter bug: a parameter written 'int base = 0' gets no name from the parameter scan, so 'base += t' does not give it per-thread copies; every thread reads 40 + 0 + 1 + ... + 5 = 55";
  expect_in_every_mode("default_argument", [](unsigned, unsigned t) { return 40 + (long long)t; });
}

TEST(SplitSecondReviewProbe, PointerToArrayParameterStaysPerThread) {
  GTEST_SKIP() << "splitter bug: a parameter written 'int (*rows)[4]' gets no name from the parameter scan, so 'rows += 1' moves one pointer shared by the block; every thread reads rows[6][1] = 61";
  expect_in_every_mode("pointer_to_rows", [](unsigned, unsigned) { return 11LL; });
}

TEST(SplitSecondReviewProbe, ConstexprLocalDoesNotShadowTheGlobalBeforeItsDeclaration) {
  GTEST_SKIP() << "splitter bug: 'constexpr int kScale = 5;' after the barrier is moved ahead of the first region, which then reads 5 where the kernel reads the file's kScale (3): 55, not 35";
  expect_in_every_mode("constexpr_shadow", [](unsigned, unsigned) { return 35LL; });
}

TEST(SplitSecondReviewProbe, LocalChangedByAMemberFunctionIsNotComputedAgain) {
  GTEST_SKIP() << "splitter bug: 'Counter c = <index>;' changed by 'c.bump()' counts as unchanging, so the next region computes c again and reads i, not i + 7";
  expect_in_every_mode("member_function_local", [](unsigned b, unsigned t) { return slot(b, t) + 7; });
}

TEST(SplitSecondReviewProbe, LocalChangedInsideAMacroIsNotComputedAgain) {
  GTEST_SKIP() << "splitter bug: an object-like macro 'add_hundred(t)' hands t to a reference parameter out of the scanner's sight, so t is computed again after the barrier (t, not t + 100)";
  expect_in_every_mode("macro_passes_local", [](unsigned, unsigned t) { return (long long)t + 100; });
}

TEST(SplitSecondReviewProbe, LocalsAssignedInParenthesesAreNotComputedAgain) {
  GTEST_SKIP() << "splitter bug: '(t) += 10' and '(c ? odd : even) = -1' outside a call are not seen as changes, so t, odd and even are computed again after the barrier";
  expect_in_every_mode("parenthesised_lvalue", [](unsigned, unsigned t) {
    return ((long long)t + 10) * 100 + (t % 2 ? 2LL * t - 1 : 2LL * t);
  });
}

TEST(SplitSecondReviewProbe, ParameterBoundThroughABracedArgumentStaysPerThread) {
  GTEST_SKIP() << "splitter bug: 'increment({base})' binds a reference member to base inside braces, which the call check stops at, so base is shared by the block and ends at 40 + blockDim.x";
  expect_in_every_mode("braced_reference", [](unsigned, unsigned) { return 41LL; });
}

TEST(SplitSecondReviewProbe, AssignmentAcrossASplicedLineIsSeen) {
  GTEST_SKIP() << "splitter bug: 't \\<newline> += 10' leaves a '\\' token between t and '+=', so the change is not seen and t is computed again after the barrier";
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
TEST(SplitSecondReviewTool, EveryProbeKernelIsSplitAtItsBarriers) {
  TempDir dir;
  const auto run = run_program(SPLIT_BARRIERS_TOOL,
                               {SECOND_REVIEW_PROBE_SOURCE, (dir / "out.cpp").string(), "--report"}, dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::string path = fs::weakly_canonical(SECOND_REVIEW_PROBE_SOURCE).string();
  const std::vector<std::string> lines = split_lines(run.out);
  for (const char* kernel :
       {"post_increment_local", "post_increment_parameter", "member_array_decay", "address_from_function",
        "qualified_cast_address", "default_argument", "pointer_to_rows", "constexpr_shadow", "member_function_local",
        "macro_passes_local", "parenthesised_lvalue", "braced_reference", "line_splice", "nested_shadowing"}) {
    const std::string line = path + ": kernel " + kernel + ": split at its barriers";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line << "\nin:\n" << run.out;
  }
}

}  // namespace
