// graphgen: the files it writes (end to end) and the graphs behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "graph.h"
#include "program_runner.h"

namespace {

using graphgen::Graph;
using test_helpers::ProgramResult;
using test_helpers::read_file;
using test_helpers::TempDir;

ProgramResult run_graphgen(const TempDir& dir, const std::vector<std::string>& args) {
  return test_helpers::run_program(test_helpers::program_path("graphgen"), args, dir.path());
}

// Parses a file graphgen wrote and checks what every generated graph holds
// beyond the format: runs laid end to end in node order, costs 1..10.
Graph read_generated(const std::filesystem::path& path) {
  std::string error;
  const auto graph = graphgen::parse_graph(read_file(path), &error);
  EXPECT_TRUE(graph) << error;
  if (!graph) return {};
  int next = 0;
  for (int i = 0; i < graph->node_count(); next += graph->edge_count[i], i++)
    EXPECT_EQ(graph->first_edge[i], next) << "node " << i;
  EXPECT_EQ(next, graph->edge_list_size());
  for (int cost : graph->costs) EXPECT_TRUE(cost >= 1 && cost <= 10) << cost;
  return *graph;
}

class GraphgenKinds : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(GraphgenKinds, SameSeedSameFileOtherSeedOtherFile) {
  TempDir dir;
  auto generate = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = GetParam();
    args.insert(args.end(), extra.begin(), extra.end());
    const auto run = run_graphgen(dir, args);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    return run.out;
  };
  EXPECT_EQ(generate({"--seed", "7", "-o", "a.txt"}), "");
  const std::string first = read_file(dir / "a.txt");
  read_generated(dir / "a.txt");
  EXPECT_EQ(generate({"--seed", "7"}), first);  // standard output without -o
  EXPECT_NE(generate({"--seed", "8"}), first);
  generate({"--source", "3", "-o", "b.txt"});
  EXPECT_EQ(read_generated(dir / "b.txt").source, 3);
}

INSTANTIATE_TEST_SUITE_P(Cli, GraphgenKinds,
                         ::testing::Values(std::vector<std::string>{"uniform", "500"},
                                           std::vector<std::string>{"rmat", "8"},
                                           std::vector<std::string>{"grid", "20", "7"}));

TEST(GraphgenUniform, DegreesSpanTheRangeAndTargetsSpreadOverAllNodes) {
  TempDir dir;
  ASSERT_EQ(run_graphgen(dir, {"uniform", "20000", "--min-degree", "2", "--max-degree", "5", "-o", "g.txt"})
                .exit_status, 0);
  const Graph g = read_generated(dir / "g.txt");
  ASSERT_EQ(g.node_count(), 20000);
  EXPECT_EQ(g.source, 0);
  std::vector<int> by_degree(6, 0), tenths(10, 0);
  for (int d : g.edge_count) by_degree.at(d)++;
  for (int d = 2; d <= 5; d++) EXPECT_NEAR(by_degree[d], 5000, 400) << "degree " << d;
  for (int t : g.targets) tenths[t / 2000]++;
  for (int count : tenths) EXPECT_NEAR(count, g.edge_list_size() / 10, g.edge_list_size() / 50);
}

TEST(GraphgenGrid, FourNeighboursAndManhattanHops) {
  const Graph g = graphgen::make_grid(4, 3, 1);
  ASSERT_EQ(g.node_count(), 12);
  EXPECT_EQ(g.edge_list_size(), 2 * (3 * 3 + 4 * 2));
  auto out = [&](int node) {
    return std::vector<int>(g.targets.begin() + g.first_edge[node],
                            g.targets.begin() + g.first_edge[node] + g.edge_count[node]);
  };
  EXPECT_EQ(out(0), (std::vector<int>{1, 4}));
  EXPECT_EQ(out(5), (std::vector<int>{6, 4, 9, 1}));
  EXPECT_EQ(out(11), (std::vector<int>{10, 7}));
  const std::vector<int> hops = graphgen::bfs_hops(g);
  for (int i = 0; i < 12; i++) EXPECT_EQ(hops[i], i % 4 + i / 4) << "node " << i;
}

TEST(GraphgenRmat, SizesSkewAndSource) {
  const Graph g = graphgen::make_rmat(12, 8, 3);
  ASSERT_EQ(g.node_count(), 4096);
  EXPECT_EQ(g.edge_list_size(), 8 * 4096);
  const int most = *std::max_element(g.edge_count.begin(), g.edge_count.end());
  EXPECT_EQ(g.edge_count[g.source], most);
  // The Graph500 parameters give hubs far above the mean degree and many
  // nodes with no edge at all.
  EXPECT_GT(most, 20 * 8);
  EXPECT_GT(std::count(g.edge_count.begin(), g.edge_count.end(), 0), 4096 / 4);
  // Relabelling spreads the 64 largest hubs: no run of 64 labels holds many.
  std::vector<int> order(4096);
  for (int i = 0; i < 4096; i++) order[i] = i;
  std::sort(order.begin(), order.end(), [&](int a, int b) { return g.edge_count[a] > g.edge_count[b]; });
  std::vector<int> per_run(64, 0);
  for (int i = 0; i < 64; i++) per_run[order[i] / 64]++;
  EXPECT_LT(*std::max_element(per_run.begin(), per_run.end()), 8);
}

TEST(GraphgenCli, RejectsBadCommandLinesWithAMessageAndNoFile) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{}, "no graph kind given (uniform, rmat or grid)"},
      {{"tree", "4"}, "unknown graph kind 'tree' (uniform, rmat or grid)"},
      {{"grid", "4"}, "grid takes WIDTH HEIGHT"},
      {{"uniform", "12k"}, "NODES must be a whole number, not '12k'"},
      {{"uniform", "10", "--min-degree", "4", "--max-degree", "3"}, "the degree range must be 0 <= MIN <= MAX"},
      {{"rmat", "27"}, "2^SCALE * EDGE_FACTOR must stay below 2^31 edges"},
      {{"grid", "2147483647", "2147483647"}, "WIDTH * HEIGHT * 4 must stay below 2^31 edges"},
      {{"grid", "2", "2", "--source", "4"}, "--source must lie in 0..3"},
      {{"grid", "2", "2", "--wrap"}, "unknown option --wrap"}};
  for (auto [args, error] : cases) {
    TempDir dir;
    args.insert(args.end(), {"-o", "g.txt"});
    const auto run = run_graphgen(dir, args);
    EXPECT_EQ(run.exit_status, 1) << error;
    EXPECT_EQ(run.err, "graphgen: " + error + "\nTry 'graphgen --help'.\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "g.txt")) << error;
  }
}

// A file that cannot be written in full (a file-size limit, as a full disk)
// leaves the previous one as it was and no temporary file.
TEST(GraphgenCli, OutputThatCannotBeWrittenInFullLeavesThePreviousFile) {
  TempDir dir;
  test_helpers::write_file(dir / "g.txt", "previous");
  const auto run = test_helpers::run_program_with_file_size_limit(test_helpers::program_path("graphgen"),
                                                                  {"grid", "40", "40", "-o", "g.txt"}, dir.path(), 4096);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "graphgen: cannot write g.txt: File too large\nTry 'graphgen --help'.\n");
  EXPECT_EQ(read_file(dir / "g.txt"), "previous");
  EXPECT_EQ(test_helpers::folder_entries(dir.path()), std::vector<std::string>{"g.txt"});
}

}  // namespace
