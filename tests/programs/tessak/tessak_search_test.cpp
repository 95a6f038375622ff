// tessak end to end: the hop counts it writes and the launches it makes,
// against a plain queue-based search over the same graph.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "json.h"
#include "tessak_test_util.h"

namespace {

using namespace tessak_test;
using graphgen::Graph;
using test_helpers::read_file;
using test_helpers::write_file;

TEST(TessakSearch, ExampleGraphTakesThreeLaunches) {
  TempDir dir;
  write_file(dir / "g.txt", kExampleGraph);
  const auto run = run_tessak(dir, {"g.txt"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(std::regex_match(run.out, std::regex("Reading File\nInput file: g.txt\nRead File\n"
                                                   "Copied Everything to GPU memory\nKernel Executed 3 times\n"
                                                   "Processing time: [0-9]+\\.[0-9]{6} \\(ms\\)\n"
                                                   "Result stored in result.txt\n")))
      << run.out;
  EXPECT_EQ(read_file(dir / "result.txt"), kExampleResult);

  // The file is a stream of "%d" values: line breaks, tabs, signs and edge
  // costs change nothing, and what follows the last edge record is never read.
  write_file(dir / "g.txt", " +4\t0 2 2 1 3 0 3 0\r\n0 3 1 -7 2 +99999 3 0 trailing words 12 x");
  EXPECT_EQ(launch_count(run_tessak(dir, {"g.txt"}).out), 3);
  EXPECT_EQ(read_file(dir / "result.txt"), kExampleResult);
}

// The file is read in chunks: values and signs split between two chunks read
// as one. The padding puts the split at each position of the first value,
// around the power-of-two sizes a chunk may have.
TEST(TessakSearch, ValuesSplitBetweenChunks) {
  TempDir dir;
  for (int power : {12, 16, 20}) {
    for (int back = -4; back <= 1; back++) {
      const size_t pad = (size_t{1} << power) + back;
      write_file(dir / "g.txt", std::string(pad, ' ') + "+0004 0 2 2 1 3 0 3 0 0 3 1 1 2 1 3 1");
      auto run = run_tessak(dir, {"g.txt"});
      EXPECT_EQ(run.exit_status, 0) << "padding " << pad << ": " << run.err;
      EXPECT_EQ(read_file(dir / "result.txt"), kExampleResult) << "padding " << pad;

      write_file(dir / "g.txt", std::string(pad, '\n') + "4 0 2 -x");
      EXPECT_EQ(run_tessak(dir, {"g.txt"}).err, "tessak: g.txt: node 1: first_edge is not an integer: \"-x\"\n")
          << "padding " << pad;
    }
  }
}

// Without exactly one argument the program searches SampleGraph.txt in the
// working directory, and replaces an existing result.txt with exactly N lines.
TEST(TessakSearch, DefaultsToSampleGraphAndReplacesResult) {
  TempDir dir;
  write_file(dir / "SampleGraph.txt", kExampleGraph);
  write_file(dir / "other.txt", "1 0 0 0 0\n");
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"other.txt", "other.txt"}}) {
    write_file(dir / "result.txt", std::string(10000, 'x') + "\n");
    const auto run = run_tessak(dir, args);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with(
        "Reading File\nNo input file specified, defaulting to SampleGraph.txt\nRead File\n"))
        << run.out;
    EXPECT_EQ(read_file(dir / "result.txt"), kExampleResult);
  }
}

// A node whose edge_count is 0 or negative has no edges, whatever its
// first_edge; self-loops are never followed; unreached nodes keep -1; a source
// without edges takes one launch.
TEST(TessakSearch, EmptyRunsSelfLoopsUnreachedNodes) {
  TempDir dir;
  const std::string nodes = "6\n0 3\n-2147483648 0\n999 -5\n3 2\n4 1\n5 1\n";
  const std::string edges = "6\n0 1\n1 1\n2 1\n3 1\n4 1\n5 5\n";  // 0->0,1,2 3->3,4 4->5 5->5
  write_file(dir / "g.txt", nodes + "0\n" + edges);
  auto run = run_tessak(dir, {"g.txt"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(launch_count(run.out), 2);
  EXPECT_EQ(read_costs(dir), (std::vector<int>{0, 1, 1, -1, -1, -1}));

  write_file(dir / "g.txt", nodes + "2\n" + edges);
  EXPECT_EQ(launch_count(run_tessak(dir, {"g.txt"}).out), 1);
  EXPECT_EQ(read_costs(dir), (std::vector<int>{-1, -1, 0, -1, -1, -1}));

  write_file(dir / "g.txt", "2 0 0 0 0 1 0");  // no edges at all
  EXPECT_EQ(launch_count(run_tessak(dir, {"g.txt"}).out), 1);
  EXPECT_EQ(read_costs(dir), (std::vector<int>{-1, 0}));
}

// --- Generated graphs against the reference search ---------------------------

Graph path(int n) {  // 0 -> 1 -> ... : each node's thread runs after its parent's in the same block
  Graph g;
  for (int i = 0; i < n; i++) g.add_node(i + 1 < n ? std::vector<int>{i + 1} : std::vector<int>{});
  return g;
}

Graph ring(int n) {  // both directions, so the two fronts meet half-way round
  Graph g;
  for (int i = 0; i < n; i++) g.add_node({(i + 1) % n, (i + n - 1) % n});
  g.source = n / 3;
  return g;
}

// Layers of `width` nodes; each node reaches every node of its own layer and
// of the next, so every frontier is full of edges inside it. One layer is a clique.
Graph layers(int count, int width) {
  Graph g;
  for (int node = 0; node < count * width; node++) {
    std::vector<int> out;
    const int layer = node / width;
    for (int to = layer * width; to < std::min(count, layer + 2) * width; to++) out.push_back(to);
    g.add_node(out);
  }
  g.source = width / 2;
  return g;
}

struct GraphCase {
  std::string name;
  std::function<Graph()> make;
};

void PrintTo(const GraphCase& c, std::ostream* os) { *os << c.name; }

class TessakAgainstReference : public ::testing::TestWithParam<GraphCase> {};

TEST_P(TessakAgainstReference, HopCountsAndLaunchCountMatch) {
  const Graph graph = GetParam().make();
  const std::vector<int> hops = graphgen::bfs_hops(graph);
  // Blocks run on several workers: repeat so that their order varies.
  for (int repeat = 0; repeat < 3; repeat++) {
    TempDir dir;
    const int launches = search(dir, graph);
    ASSERT_TRUE(same_hops(read_costs(dir), hops)) << "run " << repeat;
    ASSERT_EQ(launches, expected_launches(hops)) << "run " << repeat;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Graphs, TessakAgainstReference,
    ::testing::Values(GraphCase{"Path", [] { return path(700); }},
                      GraphCase{"Clique", [] { return layers(1, 300); }},
                      GraphCase{"Ring", [] { return ring(1001); }},
                      GraphCase{"Layers", [] { return layers(12, 90); }},
                      GraphCase{"UniformSparse", [] { return graphgen::make_uniform(5000, 0, 2, 11); }},
                      GraphCase{"UniformDense", [] { return graphgen::make_uniform(3000, 1, 11, 12); }},
                      GraphCase{"UniformOneBlock", [] { return graphgen::make_uniform(200, 1, 4, 13); }},
                      GraphCase{"Rmat", [] { return graphgen::make_rmat(12, 8, 14); }},
                      GraphCase{"Grid", [] { return graphgen::make_grid(60, 40, 16); }},
                      GraphCase{"GridFromMiddle", [] {
                                  Graph g = graphgen::make_grid(33, 33, 17);
                                  g.source = 33 * 16 + 16;
                                  return g;
                                }}),
    [](const ::testing::TestParamInfo<GraphCase>& info) { return info.param.name; });

// The way a user runs it: graphgen writes SampleGraph.txt, tessak searches it.
TEST(TessakSearch, SearchesWhatGraphgenWrites) {
  TempDir dir;
  ASSERT_EQ(run_graphgen(dir, {"rmat", "11", "--seed", "5", "-o", "SampleGraph.txt"}).exit_status, 0);
  const auto run = run_tessak(dir, {});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  std::string error;
  const auto graph = graphgen::parse_graph(read_file(dir / "SampleGraph.txt"), &error);
  ASSERT_TRUE(graph) << error;
  const std::vector<int> hops = graphgen::bfs_hops(*graph);
  EXPECT_TRUE(same_hops(read_costs(dir), hops));
  EXPECT_EQ(launch_count(run.out), expected_launches(hops));
}

// --- What reaches the device ----------------------------------------------------

// One block of N threads up to 256, else ceil(N / 256) blocks of 256; every
// launch passes the eight arguments at their natural offsets.
class TessakGeometry : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(TessakGeometry, BlocksOf256) {
  const auto [nodes, blocks, threads] = GetParam();
  Graph star;
  std::vector<int> all;
  for (int i = 1; i < nodes; i++) all.push_back(i);
  star.add_node(all);
  for (int i = 1; i < nodes; i++) star.add_node({});
  TempDir dir;
  const std::string trace = (dir / "trace.jsonl").string();
  EXPECT_EQ(search(dir, star, {{"CUDART_TRACE", trace}}), 2);
  EXPECT_TRUE(same_hops(read_costs(dir), graphgen::bfs_hops(star)));

  const auto entries = test_helpers::read_trace(trace);
  const auto configures = test_helpers::calls_named(entries, "cudaConfigureCall");
  const auto launches = test_helpers::calls_named(entries, "cudaLaunch");
  ASSERT_EQ(configures.size(), 2u);
  ASSERT_EQ(launches.size(), 2u);
  const std::vector<long long> grid{blocks, 1, 1}, block{threads, 1, 1};
  const std::vector<std::vector<long long>> args{{0, 8},  {8, 8},  {16, 8}, {24, 8},
                                                 {32, 8}, {40, 8}, {48, 4}, {52, 4}};
  for (size_t i = 0; i < 2; i++) {
    EXPECT_EQ(configures[i]["grid"].integers(), grid);
    EXPECT_EQ(configures[i]["block"].integers(), block);
    EXPECT_EQ(configures[i]["shared"].integer(), 0);
    EXPECT_EQ(launches[i]["kernel"].str(), "_Z6KernelP4NodePiPbS2_S1_S2_ii");
    std::vector<std::vector<long long>> got;
    for (const auto& a : launches[i]["args"].array()) got.push_back(a.integers());
    EXPECT_EQ(got, args);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TessakGeometry,
                         ::testing::Values(std::make_tuple(100, 1, 100), std::make_tuple(256, 1, 256),
                                           std::make_tuple(257, 2, 256), std::make_tuple(512, 2, 256),
                                           std::make_tuple(513, 3, 256)));

// The graph crosses to the device once, in the loaded state (the source alone
// in the frontier, nothing visited, costs -1 but the source's 0); between
// launches only the flag byte moves; the costs come back once; five buffers
// are freed, the flag's is not.
TEST(TessakTrace, GraphCrossesOnceAndOnlyTheFlagMovesBetweenLaunches) {
  TempDir dir;
  const std::string trace_path = (dir / "trace.jsonl").string();
  Graph graph = graphgen::make_uniform(300, 0, 3, 21);
  graph.source = 7;
  const std::vector<int> hops = graphgen::bfs_hops(graph);
  const int launches = expected_launches(hops);
  EXPECT_EQ(search(dir, graph, {{"CUDART_TRACE", trace_path}}), launches);
  const auto trace = test_helpers::read_trace(trace_path);
  const int n = graph.node_count(), e = graph.edge_list_size();

  std::vector<long long> bytes;
  for (const auto& m : test_helpers::calls_named(trace, "cudaMalloc")) bytes.push_back(m["bytes"].integer());
  EXPECT_EQ(bytes, (std::vector<long long>{8LL * n, 4LL * e, n, n, 4LL * n, 1}));

  std::vector<int> nodes, cost(n, -1);
  for (int i = 0; i < n; i++) nodes.insert(nodes.end(), {graph.first_edge[i], graph.edge_count[i]});
  std::vector<char> mask(n, 0), visited(n, 0);
  mask[graph.source] = 1;
  cost[graph.source] = 0;
  const std::vector<std::string> inputs{fnv1a(nodes.data(), 8 * n), fnv1a(graph.targets.data(), 4 * e),
                                        fnv1a(mask.data(), n), fnv1a(visited.data(), n),
                                        fnv1a(cost.data(), 4 * n)};

  const auto copies = test_helpers::calls_named(trace, "cudaMemcpy");
  ASSERT_EQ(copies.size(), 5 + 2 * static_cast<size_t>(launches) + 1);
  for (size_t i = 0; i < copies.size(); i++) {
    // In order: the five arrays, then per launch the flag down and back, then the costs.
    const bool input = i < 5, last = i + 1 == copies.size(), down = input || (!last && i % 2 == 1);
    const long long buffer = input ? static_cast<long long>(i) : last ? 4 : 5;
    EXPECT_EQ(copies[i]["kind"].integer(), down ? 1 : 2) << "copy " << i;
    EXPECT_EQ(copies[i][down ? "dst" : "src"]["alloc"].integer(), buffer) << "copy " << i;
    if (input) EXPECT_EQ(copies[i]["digest"].str(), inputs[i]) << "copy " << i;
    if (!input && !last) EXPECT_EQ(copies[i]["bytes"].integer(), 1) << "copy " << i;
  }
  EXPECT_EQ(copies.back()["digest"].str(), fnv1a(hops.data(), 4 * n));

  std::vector<long long> freed;
  for (const auto& f : test_helpers::calls_named(trace, "cudaFree")) freed.push_back(f["ptr"]["alloc"].integer());
  EXPECT_EQ(freed, (std::vector<long long>{0, 1, 2, 3, 4}));
}

}  // namespace
