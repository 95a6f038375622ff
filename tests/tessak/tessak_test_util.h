// Helpers for the tessak and graphgen tests: running the programs in a
// temporary directory, writing graphs, reading the result file back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "graph.h"
#include "program_runner.h"

namespace tessak_test {

using test_support::ProgramResult;
using test_support::TempDir;

/// The four-node example graph: edges 0->1, 0->2, 1->3, source 0.
inline const std::string kExampleGraph =
    "4\n0 2\n2 1\n3 0\n3 0\n0\n3\n1 1\n2 1\n3 1\n";
inline const std::string kExampleResult = "0) cost:0\n1) cost:1\n2) cost:1\n3) cost:2\n";

/// The mangled name the kernel is registered under.
inline const std::string kKernelName = "_Z6KernelP4NodePiPbS2_S1_S2_ii";

inline ProgramResult run_tessak(const TempDir& dir, const std::vector<std::string>& args,
                                const std::map<std::string, std::string>& env = {}) {
  return test_support::run_program(test_support::program_path("tessak"), args, dir.path(), env);
}

inline ProgramResult run_graphgen(const TempDir& dir, const std::vector<std::string>& args) {
  return test_support::run_program(test_support::program_path("graphgen"), args, dir.path());
}

/// Writes `graph` as g.txt in `dir`, runs tessak on it and checks that it
/// succeeded; returns its standard output.
inline std::string search(const TempDir& dir, const graphgen::Graph& graph,
                          const std::map<std::string, std::string>& env = {}) {
  test_support::write_file(dir / "g.txt", graphgen::format_graph(graph));
  const ProgramResult run = run_tessak(dir, {"g.txt"}, env);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  return run.out;
}

/// The costs of result.txt, checking that line i reads "i) cost:<int>".
inline std::vector<int> read_costs(const TempDir& dir) {
  std::vector<int> costs;
  const std::regex line_format(R"((\d+)\) cost:(-?\d+))");
  const std::string text = test_support::read_file(dir / "result.txt");
  EXPECT_TRUE(text.empty() || text.back() == '\n');
  for (const std::string& line : test_support::split_lines(text)) {
    std::smatch m;
    if (!std::regex_match(line, m, line_format) || std::stoul(m[1]) != costs.size()) {
      ADD_FAILURE() << "result line " << costs.size() << " reads '" << line << "'";
      return costs;
    }
    costs.push_back(std::stoi(m[2]));
  }
  return costs;
}

/// The count of "Kernel Executed %d times", or -1 when the line is absent.
inline int launch_count(const std::string& out) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(R"(Kernel Executed (\d+) times\n)"))) return -1;
  return std::stoi(m[1]);
}

/// The hop counts the search must give, and how many launches it must take.
struct Expected {
  std::vector<int> hops;
  int launches;
};

inline Expected expected_search(const graphgen::Graph& graph) {
  Expected e{graphgen::bfs_hops(graph), 0};
  for (int h : e.hops) e.launches = std::max(e.launches, h + 1);
  return e;
}

/// Reports the first few nodes whose cost differs from the reference.
inline ::testing::AssertionResult same_hops(const std::vector<int>& got, const std::vector<int>& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << got.size() << " result lines for " << want.size() << " nodes";
  auto failure = ::testing::AssertionFailure();
  int wrong = 0;
  for (size_t i = 0; i < got.size(); i++) {
    if (got[i] != want[i] && wrong++ < 5)
      failure << "node " << i << ": cost " << got[i] << ", hop count " << want[i] << "\n";
  }
  if (wrong == 0) return ::testing::AssertionSuccess();
  return failure << wrong << " nodes differ";
}

/// FNV-1a 64 of `bytes`, as the runtime's trace writes it.
inline std::string fnv1a(const void* data, size_t size) {
  uint64_t h = 0xcbf29ce484222325ULL;
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; i++) h = (h ^ p[i]) * 0x100000001b3ULL;
  char buf[17];
  std::snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

}  // namespace tessak_test
