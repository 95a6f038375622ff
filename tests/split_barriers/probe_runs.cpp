#include "probe_runs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "program_runner.h"

namespace split_probe_runs {

using test_support::run_program;
using test_support::split_lines;
using test_support::TempDir;

void expect_in_every_mode(const std::string& probe, const std::string& scenario,
                          const std::function<long long(unsigned, unsigned)>& expected) {
  struct Mode {
    const char* barriers;
    const char* workers;
  };
  for (const Mode& mode : {Mode{"regions", "1"}, Mode{"regions", "2"}, Mode{"fibers", "1"}, Mode{"fibers", "2"}}) {
    const std::string where =
        scenario + " (CUDART_BARRIERS=" + mode.barriers + " CUDART_WORKERS=" + mode.workers + ")";
    TempDir dir;
    const auto run = run_program(probe,
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

std::vector<std::string> report_lines(const std::string& source) {
  TempDir dir;
  const auto run = run_program(SPLIT_BARRIERS_TOOL, {source, (dir / "out.cpp").string(), "--report"}, dir.path());
  EXPECT_EQ(run.exit_status, 0) << run.err;
  return split_lines(run.out);
}

std::string report_path(const std::string& source) { return std::filesystem::weakly_canonical(source).string(); }

}  // namespace split_probe_runs
