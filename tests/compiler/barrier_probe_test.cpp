// barrier_probe run as a user runs it, with block functions and with fibers,
// on one worker and on two: a block whose threads disagree on barriers fails
// its launch (never a hang, never a result) with one line on standard error
// that names the kernel, the block and the barriers' lines, and the device
// goes on working; a kernel the compiler cannot transform is reported at
// build time with its reason and computes the right result on fibers.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "program_runner.h"

namespace {

using test_helpers::ProgramResult;
using test_helpers::split_lines;
using test_helpers::TempDir;

struct Mode {
  const char* barriers;
  const char* workers;
};

const Mode kModes[] = {{"regions", "1"}, {"regions", "2"}, {"fibers", "1"}, {"fibers", "2"}};

std::string describe(const Mode& m) {
  return std::string("CUDART_BARRIERS=") + m.barriers + " CUDART_WORKERS=" + m.workers;
}

// Runs a scenario; a run still going after a minute is killed (a hang).
ProgramResult run_scenario(const std::string& scenario, const Mode& mode) {
  TempDir dir;
  return test_helpers::run_program("/usr/bin/timeout", {"-s", "KILL", "60", BARRIER_PROBE, scenario}, dir.path(),
                                   {{"CUDART_BARRIERS", mode.barriers}, {"CUDART_WORKERS", mode.workers}});
}

// The lines of the probe's source marked "divergent: <scenario>".
std::set<int> marked_lines(const std::string& scenario) {
  std::ifstream source(BARRIER_PROBE_SOURCE);
  std::set<int> lines;
  int number = 0;
  for (std::string line; std::getline(source, line);) {
    ++number;
    const std::string mark = "// divergent: " + scenario;
    const size_t at = line.find(mark);
    if (at != std::string::npos && at + mark.size() == line.size()) lines.insert(number);
  }
  return lines;
}

struct Divergence {
  const char* scenario;
  const char* kernel;  ///< as the report names it
  const char* block;   ///< the block it names; null: any block of the launch
};

void PrintTo(const Divergence& d, std::ostream* os) { *os << d.scenario; }

class DivergentBarriers : public ::testing::TestWithParam<Divergence> {};

TEST_P(DivergentBarriers, FailTheLaunchWithOneLineNamingKernelBlockAndBarriers) {
  const Divergence& d = GetParam();
  const std::set<int> barriers = marked_lines(d.scenario);
  ASSERT_FALSE(barriers.empty()) << "no barrier marked for " << d.scenario;
  const std::regex report("gpu runtime: kernel (.+), block \\((\\d+, \\d+, \\d+)\\): (.*)");
  const std::regex line_number("\\b(\\d+)\\b");
  for (const Mode& mode : kModes) {
    const ProgramResult run = run_scenario(d.scenario, mode);
    const std::string where = std::string(d.scenario) + " (" + describe(mode) + ")";
    ASSERT_EQ(run.exit_status, 0) << where << " did not end by itself\n" << run.err;
    EXPECT_EQ(split_lines(run.out), (std::vector<std::string>{"launch 0 719", "again 0", "healthy 0 ok"})) << where;
    const std::vector<std::string> lines = split_lines(run.err);
    ASSERT_EQ(lines.size(), 1u) << where << "\n" << run.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, report)) << where << "\n" << lines[0];
    EXPECT_EQ(m[1].str(), d.kernel) << where;
    if (d.block) EXPECT_EQ(m[2].str(), d.block) << where;
    // The barriers' lines, whichever of them the threads were seen at.
    const std::string rest = m[3].str();
    std::set<int> named;
    for (auto it = std::sregex_iterator(rest.begin(), rest.end(), line_number); it != std::sregex_iterator(); ++it)
      named.insert(std::stoi((*it)[1]));
    EXPECT_FALSE(named.empty()) << where << "\n" << lines[0];
    for (int line : named)
      EXPECT_TRUE(barriers.count(line)) << where << ": line " << line << " is no barrier of it\n" << lines[0];
    if (barriers.size() > 1) EXPECT_EQ(named, barriers) << where << "\n" << lines[0];
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DivergentBarriers,
                         ::testing::Values(Divergence{"partial", "partial_barrier(int*)", nullptr},
                                           Divergence{"two_barriers", "two_barriers(int*)", "0, 0, 0"},
                                           Divergence{"return_while_others_wait", "return_while_others_wait(int*)",
                                                      "0, 0, 0"},
                                           Divergence{"trip_counts", "thread_trip_counts(int*)", "0, 0, 0"},
                                           Divergence{"counting", "partial_count(int*)", "0, 0, 0"},
                                           Divergence{"one_block", "one_block_of_many(int*)", "1, 2, 0"}),
                         [](const auto& info) { return std::string(info.param.scenario); });

// Every block of "partial" disagrees; whichever block is seen first is the
// one named, and the report stays one line.
TEST(DivergentBarriers, ManyFailingBlocksGiveOneLine) {
  for (const Mode& mode : kModes) {
    const ProgramResult run = run_scenario("partial", mode);
    EXPECT_EQ(split_lines(run.err).size(), 1u) << describe(mode) << "\n" << run.err;
  }
}

TEST(FiberFallback, KernelCallingThroughAPointerComputesItsResultInEveryMode) {
  for (const Mode& mode : kModes) {
    const ProgramResult run = run_scenario("function_pointer", mode);
    ASSERT_EQ(run.exit_status, 0) << describe(mode) << "\n" << run.err;
    EXPECT_EQ(run.err, "") << describe(mode);
    EXPECT_EQ(split_lines(run.out), (std::vector<std::string>{"launch 0 0", "again 0", "out ok", "healthy 0 ok"}))
        << describe(mode);
  }
}

// What the compiler says of each of the probe's kernels as it builds them.
TEST(FiberFallback, CompilerSaysWhichKernelFellBackAndWhy) {
  TempDir dir;
  const ProgramResult run = test_helpers::run_program(GPUCC, {"--report", BARRIER_PROBE_SOURCE}, dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::vector<std::string> lines = split_lines(run.out + run.err);
  auto said = [&](const std::string& kernel) {
    std::vector<std::string> about;
    for (const std::string& line : lines)
      if (line.find(": kernel " + kernel + ": ") != std::string::npos) about.push_back(line);
    return about;
  };
  const std::vector<std::string> fallback = said("call_through_pointer(int, int*)");
  ASSERT_EQ(fallback.size(), 1u) << run.out << run.err;
  EXPECT_EQ(fallback[0],
            "barrier_probe.cu: kernel call_through_pointer(int, int*): fibers: it calls through a function pointer");
  for (const char* kernel :
       {"partial_barrier(int*)", "two_barriers(int*)", "return_while_others_wait(int*)", "thread_trip_counts(int*)",
        "partial_count(int*)", "one_block_of_many(int*)", "rotate(int*)"}) {
    const std::vector<std::string> about = said(kernel);
    ASSERT_EQ(about.size(), 1u) << kernel << "\n" << run.out << run.err;
    EXPECT_NE(about[0].find(": region loops ("), std::string::npos) << about[0];
  }
}

}  // namespace
