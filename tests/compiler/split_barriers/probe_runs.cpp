#include "probe_runs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "program_runner.h"

namespace split_probe_runs {

using test_helpers::run_program;
using test_helpers::split_lines;
using test_helpers::TempDir;

std::ostream& operator<<(std::ostream& os, const Shape& s) {
  return os << s.bx << "x" << s.by << "x" << s.bz << " blocks, grid " << s.gx << "x" << s.gy << "x" << s.gz;
}

std::string shape_name(const ::testing::TestParamInfo<Shape>& info) {
  const Shape& s = info.param;
  return std::to_string(s.bx) + "x" + std::to_string(s.by) + "x" + std::to_string(s.bz) + "_in_" +
         std::to_string(s.gx) + "x" + std::to_string(s.gy) + "x" + std::to_string(s.gz);
}

const std::vector<Mode> kModes = {{"regions", "1"}, {"regions", "2"}, {"fibers", "1"}, {"fibers", "2"}};

std::string describe(const Mode& mode) {
  return std::string("CUDART_BARRIERS=") + mode.barriers + " CUDART_WORKERS=" + mode.workers;
}

ProbeOutput run_probe(const std::string& probe, const std::string& scenario, const Shape& s, const Mode& mode) {
  TempDir dir;
  ProbeOutput out;
  out.result = run_program(probe,
                           {scenario, std::to_string(s.bx), std::to_string(s.by), std::to_string(s.bz),
                            std::to_string(s.gx), std::to_string(s.gy), std::to_string(s.gz)},
                           dir.path(), {{"CUDART_BARRIERS", mode.barriers}, {"CUDART_WORKERS", mode.workers}});
  for (const std::string& line : split_lines(out.result.out)) {
    std::istringstream words(line);
    std::string head;
    words >> head;
    if (head == "status") {
      long long launch = -1, sync = -1;
      words >> launch >> sync;
      out.statuses.push_back({launch, sync});
    } else if (!head.empty() && head.back() == ':') {
      std::vector<double>& values = out.arrays[head.substr(0, head.size() - 1)];
      for (double v; words >> v;) values.push_back(v);
    }
  }
  return out;
}

const std::vector<double>& values_of(const ProbeOutput& run, const std::string& name) {
  static const std::vector<double> none;
  const auto it = run.arrays.find(name);
  return it == run.arrays.end() ? none : it->second;
}

void expect_values(const std::vector<double>& actual, const std::vector<double>& expected, const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  int reported = 0;
  for (size_t i = 0; i < expected.size() && reported < 5; ++i) {
    if (actual[i] != expected[i]) {
      ADD_FAILURE() << what << ": element " << i << " is " << actual[i] << ", expected " << expected[i];
      reported++;
    }
  }
}

void expect_in_every_mode(const std::string& probe, const std::string& scenario,
                          const std::function<long long(unsigned, unsigned)>& expected) {
  for (const Mode& mode : kModes) {
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
