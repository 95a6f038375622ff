// graphgen: the files it writes (end to end) and the graphs behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tessak_test_util.h"

namespace {

using namespace tessak_test;
using graphgen::Graph;
using test_support::read_file;

Graph parse_or_fail(const std::string& text) {
  std::string error;
  auto graph = graphgen::parse_graph(text, &error);
  EXPECT_TRUE(graph) << error;
  return graph ? *graph : Graph{};
}

// What every generated graph must satisfy beyond the format: runs laid end to
// end in node order, costs 1..10.
void expect_well_formed(const Graph& g) {
  int next = 0;
  for (int i = 0; i < g.node_count(); i++) {
    ASSERT_EQ(g.first_edge[i], next) << "node " << i;
    next += g.edge_count[i];
  }
  EXPECT_EQ(next, g.edge_list_size());
  for (int cost : g.costs) ASSERT_TRUE(cost >= 1 && cost <= 10) << cost;
}

class GraphgenKinds : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(GraphgenKinds, SameSeedSameFileOtherSeedOtherFile) {
  TempDir dir;
  std::vector<std::string> args = GetParam();
  auto with = [&](const std::string& seed, const std::string& file) {
    std::vector<std::string> a = args;
    a.insert(a.end(), {"--seed", seed, "-o", file});
    const auto run = run_graphgen(dir, a);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    return read_file(dir / file);
  };
  const std::string first = with("7", "a.txt");
  EXPECT_EQ(with("7", "b.txt"), first);
  EXPECT_NE(with("8", "c.txt"), first);
  expect_well_formed(parse_or_fail(first));

  // Without -o the same text goes to standard output.
  std::vector<std::string> to_stdout = args;
  to_stdout.insert(to_stdout.end(), {"--seed", "7"});
  EXPECT_EQ(run_graphgen(dir, to_stdout).out, first);
}

INSTANTIATE_TEST_SUITE_P(Cli, GraphgenKinds,
                         ::testing::Values(std::vector<std::string>{"uniform", "500"},
                                           std::vector<std::string>{"rmat", "8"},
                                           std::vector<std::string>{"grid", "20", "7"}));

TEST(GraphgenUniform, DegreesSpanTheRangeAndTargetsSpreadOverAllNodes) {
  TempDir dir;
  ASSERT_EQ(run_graphgen(dir, {"uniform", "20000", "--min-degree", "2", "--max-degree", "5", "-o", "g.txt"})
                .exit_status,
            0);
  const Graph g = parse_or_fail(read_file(dir / "g.txt"));
  ASSERT_EQ(g.node_count(), 20000);
  EXPECT_EQ(g.source, 0);
  expect_well_formed(g);
  std::vector<int> by_degree(6, 0);
  for (int d : g.edge_count) {
    ASSERT_TRUE(d >= 2 && d <= 5) << d;
    by_degree[d]++;
  }
  for (int d = 2; d <= 5; d++) EXPECT_NEAR(by_degree[d], 5000, 400) << "degree " << d;
  // Targets: each tenth of the node range gets about a tenth of the edges.
  std::vector<int> tenths(10, 0);
  for (int t : g.targets) tenths[t / 2000]++;
  for (int count : tenths) EXPECT_NEAR(count, g.edge_list_size() / 10, g.edge_list_size() / 50);
  std::vector<int> costs(11, 0);
  for (int c : g.costs) costs[c]++;
  EXPECT_GT(*std::min_element(costs.begin() + 1, costs.end()), 0);
}

TEST(GraphgenGrid, FourNeighboursAndManhattanHops) {
  const Graph g = graphgen::make_grid(4, 3, 1);
  expect_well_formed(g);
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
  expect_well_formed(g);
  ASSERT_EQ(g.node_count(), 4096);
  EXPECT_EQ(g.edge_list_size(), 8 * 4096);
  const int most = *std::max_element(g.edge_count.begin(), g.edge_count.end());
  EXPECT_EQ(g.edge_count[g.source], most);
  // Graph500 parameters give hubs far above the mean degree and many nodes
  // with no edge at all.
  EXPECT_GT(most, 20 * 8);
  EXPECT_GT(std::count(g.edge_count.begin(), g.edge_count.end(), 0), 4096 / 4);
  // Relabelling spreads the hubs: the largest-degree node is rarely node 0,
  // and no run of 64 labels holds more than a few of the 64 largest hubs.
  std::vector<int> order(4096);
  for (int i = 0; i < 4096; i++) order[i] = i;
  std::sort(order.begin(), order.end(), [&](int a, int b) { return g.edge_count[a] > g.edge_count[b]; });
  std::vector<int> per_run(64, 0);
  for (int i = 0; i < 64; i++) per_run[order[i] / 64]++;
  EXPECT_LT(*std::max_element(per_run.begin(), per_run.end()), 8);
}

TEST(GraphgenCli, SourceOption) {
  TempDir dir;
  ASSERT_EQ(run_graphgen(dir, {"grid", "5", "5", "--source", "12", "-o", "g.txt"}).exit_status, 0);
  EXPECT_EQ(parse_or_fail(read_file(dir / "g.txt")).source, 12);
}

struct BadCommand {
  std::string name;
  std::vector<std::string> args;
  std::string error;
};

void PrintTo(const BadCommand& c, std::ostream* os) { *os << c.name; }

class GraphgenRejects : public ::testing::TestWithParam<BadCommand> {};

TEST_P(GraphgenRejects, WithAMessageAndNoFile) {
  TempDir dir;
  std::vector<std::string> args = GetParam().args;
  args.insert(args.end(), {"-o", "g.txt"});
  const auto run = run_graphgen(dir, args);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "graphgen: " + GetParam().error + "\nTry 'graphgen --help'.\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "g.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Cli, GraphgenRejects,
    ::testing::Values(
        BadCommand{"NoKind", {}, "no graph kind given (uniform, rmat or grid)"},
        BadCommand{"UnknownKind", {"tree", "4"}, "unknown graph kind 'tree' (uniform, rmat or grid)"},
        BadCommand{"MissingSize", {"grid", "4"}, "grid takes WIDTH HEIGHT"},
        BadCommand{"NotANumber", {"uniform", "12k"}, "NODES must be a whole number, not '12k'"},
        BadCommand{"ZeroNodes", {"uniform", "0"}, "the node count must be at least 1"},
        BadCommand{"DegreeRange", {"uniform", "10", "--min-degree", "4", "--max-degree", "3"},
                   "the degree range must be 0 <= MIN <= MAX"},
        BadCommand{"TooManyEdges", {"rmat", "27", "--edge-factor", "16"},
                   "2^SCALE * EDGE_FACTOR must stay below 2^31 edges"},
        BadCommand{"SourceOutside", {"grid", "2", "2", "--source", "4"}, "--source must lie in 0..3"},
        BadCommand{"UnknownOption", {"grid", "2", "2", "--wrap"}, "unknown option --wrap"}),
    [](const ::testing::TestParamInfo<BadCommand>& info) { return info.param.name; });

}  // namespace
