// Helpers for the tessak tests: running tessak and graphgen in a temporary
// directory and reading what tessak wrote.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "common/trace.h"
#include "graph.h"
#include "program_runner.h"

namespace tessak_test {

using test_helpers::ProgramResult;
using test_helpers::TempDir;

/// The four-node example graph: edges 0->1, 0->2, 1->3, source 0.
inline const std::string kExampleGraph = "4\n0 2\n2 1\n3 0\n3 0\n0\n3\n1 1\n2 1\n3 1\n";
inline const std::string kExampleResult = "0) cost:0\n1) cost:1\n2) cost:1\n3) cost:2\n";

inline ProgramResult run_tessak(const TempDir& dir, const std::vector<std::string>& args,
                                const std::map<std::string, std::string>& env = {}) {
  return test_helpers::run_program(test_helpers::program_path("tessak"), args, dir.path(), env);
}

inline ProgramResult run_graphgen(const TempDir& dir, const std::vector<std::string>& args) {
  return test_helpers::run_program(test_helpers::program_path("graphgen"), args, dir.path());
}

/// The count of "Kernel Executed %d times", or -1 when the line is absent.
inline int launch_count(const std::string& out) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(R"(Kernel Executed (\d+) times\n)"))) return -1;
  return std::stoi(m[1]);
}

/// Writes `graph` as g.txt in `dir` and runs tessak on it, expecting success;
/// returns the launch count it printed.
inline int search(const TempDir& dir, const graphgen::Graph& graph,
                  const std::map<std::string, std::string>& env = {}) {
  test_helpers::write_file(dir / "g.txt", graphgen::format_graph(graph));
  const ProgramResult run = run_tessak(dir, {"g.txt"}, env);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  return launch_count(run.out);
}

/// The costs of result.txt, checking that line i reads "i) cost:<int>".
inline std::vector<int> read_costs(const TempDir& dir) {
  std::vector<int> costs;
  const std::regex line_format(R"((\d+)\) cost:(-?\d+))");
  for (const std::string& line : test_helpers::split_lines(test_helpers::read_file(dir / "result.txt"))) {
    std::smatch m;
    if (!std::regex_match(line, m, line_format) || std::stoul(m[1]) != costs.size()) {
      ADD_FAILURE() << "result line " << costs.size() << " reads '" << line << "'";
      break;
    }
    costs.push_back(std::stoi(m[2]));
  }
  return costs;
}

/// Launches a search must take: one per level, the last reaching nothing.
inline int expected_launches(const std::vector<int>& hops) {
  return *std::max_element(hops.begin(), hops.end()) + 1;
}

/// Reports the first few nodes whose cost differs from the reference.
inline ::testing::AssertionResult same_hops(const std::vector<int>& got, const std::vector<int>& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << got.size() << " result lines for " << want.size() << " nodes";
  auto failure = ::testing::AssertionFailure();
  int wrong = 0;
  for (size_t i = 0; i < got.size(); i++)
    if (got[i] != want[i] && wrong++ < 5) failure << "node " << i << ": cost " << got[i] << ", hops " << want[i] << "\n";
  return wrong == 0 ? ::testing::AssertionSuccess() : failure << wrong << " nodes differ";
}

/// FNV-1a 64 of `bytes`, as the runtime's trace writes it.
inline std::string fnv1a(const void* data, size_t size) { return gpu_runtime::common::fnv1a_hex(data, size); }

}  // namespace tessak_test
