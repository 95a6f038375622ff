// tessak_baseline: native single-threaded counterparts of tessak's two phases,
// on a graph file in tessak's format.
//
//   tessak_baseline load FILE     reads the file's bytes and parses every value
//                                 with strtol in one pass into the node and edge
//                                 arrays (timed: open to close); prints the
//                                 counts and the digests of both arrays
//   tessak_baseline levels FILE   the program's level-synchronous search in
//                                 plain loops: every level scans all nodes
//   tessak_baseline boost FILE    the Boost Graph Library's breadth_first_search
//                                 over a compressed sparse row graph
//
// The searches load the file untimed and time the search alone (arrays set up
// beforehand, as the program copies them to the device before its timer
// starts); they print time_ms and write result.txt exactly as tessak does.
#include <boost/graph/breadth_first_search.hpp>
#include <boost/graph/compressed_sparse_row_graph.hpp>
#include <boost/graph/visitors.hpp>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "baseline_common.h"

namespace {

constexpr const char* kName = "tessak_baseline";

// The node record as tessak holds and copies it: 8 bytes, first_edge first.
struct Node {
  int first_edge;
  int edge_count;
};

struct Graph {
  int nodes = 0;
  int edges = 0;
  int source = 0;
  std::unique_ptr<Node[]> node;  // (nodes)
  std::unique_ptr<int[]> edge;   // (edges) target of each edge-list entry
};

/// Parses the values of `text` in file order with strtol.
class Values {
 public:
  explicit Values(const char* text) : p_(text) {}
  int next() {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(p_, &end, 10);
    ++count_;
    if (end == p_)
      bench::fail(kName,
                  "value " + std::to_string(count_) + " of the graph file is missing or not an integer");
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX)
      bench::fail(kName, "value " + std::to_string(count_) + " of the graph file does not fit in 32 bits");
    p_ = end;
    return static_cast<int>(v);
  }

 private:
  const char* p_;
  long long count_ = 0;
};

/// Reads the whole file and parses it in one pass. Arrays are allocated
/// uninitialised and written once, as the program does.
Graph load(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) bench::fail(kName, std::string("cannot open ") + path + ": " + std::strerror(errno));
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  if (size < 0) bench::fail(kName, std::string("cannot read ") + path);
  auto text = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size) + 1);
  if (std::fread(text.get(), 1, static_cast<size_t>(size), f) != static_cast<size_t>(size))
    bench::fail(kName, std::string("cannot read ") + path);
  std::fclose(f);
  text[static_cast<size_t>(size)] = '\0';

  Values values(text.get());
  Graph g;
  g.nodes = values.next();
  if (g.nodes < 0) bench::fail(kName, "the node count is negative");
  g.node = std::make_unique_for_overwrite<Node[]>(static_cast<size_t>(g.nodes));
  for (int i = 0; i < g.nodes; ++i) {
    g.node[i].first_edge = values.next();
    g.node[i].edge_count = values.next();
  }
  g.source = values.next();
  g.edges = values.next();
  if (g.edges < 0) bench::fail(kName, "the edge count is negative");
  g.edge = std::make_unique_for_overwrite<int[]>(static_cast<size_t>(g.edges));
  for (int i = 0; i < g.edges; ++i) {
    g.edge[i] = values.next();
    values.next();  // the edge's cost plays no part in hop counts
  }
  return g;
}

/// The searches follow every run of edges unchecked: refuse a graph they
/// could not search safely.
void require_searchable(const Graph& g) {
  if (g.nodes == 0) bench::fail(kName, "the graph has no nodes");
  if (g.source < 0 || g.source >= g.nodes) bench::fail(kName, "the source node is out of range");
  for (int i = 0; i < g.nodes; ++i) {
    const long long first = g.node[i].first_edge, count = g.node[i].edge_count;
    if (count > 0 && (first < 0 || first + count > g.edges))
      bench::fail(kName, "node " + std::to_string(i) + ": its edges leave the edge list");
  }
  for (int i = 0; i < g.edges; ++i)
    if (g.edge[i] < 0 || g.edge[i] >= g.nodes)
      bench::fail(kName, "edge " + std::to_string(i) + ": the target is out of range");
}

void write_result(const std::vector<int>& cost) {
  FILE* out = std::fopen("result.txt", "w");
  if (!out) bench::fail(kName, std::string("cannot create result.txt: ") + std::strerror(errno));
  for (size_t i = 0; i < cost.size(); ++i) std::fprintf(out, "%zu) cost:%d\n", i, cost[i]);
  if (std::fclose(out) != 0) bench::fail(kName, "cannot write result.txt");
}

void run_load(const char* path) {
  const auto start = bench::Clock::now();
  const Graph g = load(path);
  const double ms = bench::ms_between(start, bench::Clock::now());
  bench::report("time_ms", ms);
  bench::report("nodes", static_cast<long long>(g.nodes));
  bench::report("edges", static_cast<long long>(g.edges));
  bench::report("node_digest", bench::fnv1a64(g.node.get(), sizeof(Node) * static_cast<size_t>(g.nodes)));
  bench::report("edge_digest", bench::fnv1a64(g.edge.get(), sizeof(int) * static_cast<size_t>(g.edges)));
}

// One pass over all nodes per level, as one launch of the program's kernel:
// a node is expanded when it is in the frontier with the current level's
// cost, and an edge target is taken when it was never reached.
void run_levels(const char* path) {
  const Graph g = load(path);
  require_searchable(g);
  const int n = g.nodes;
  std::vector<char> mask(n, 0), visited(n, 0);
  std::vector<int> cost(n, -1);
  mask[g.source] = 1;
  cost[g.source] = 0;
  const Node* node = g.node.get();
  const int* edge = g.edge.get();

  const auto start = bench::Clock::now();
  int level = 0;
  bool over;
  do {
    over = false;
    for (int tid = 0; tid < n; ++tid) {
      if (mask[tid] && cost[tid] == level) {
        mask[tid] = 0;
        visited[tid] = 1;
        for (int i = node[tid].first_edge; i < node[tid].first_edge + node[tid].edge_count; ++i) {
          const int id = edge[i];
          if (!visited[id] && cost[id] == -1) {
            cost[id] = level + 1;
            mask[id] = 1;
            over = true;
          }
        }
      }
    }
    ++level;
  } while (over);
  const double ms = bench::ms_between(start, bench::Clock::now());

  bench::report("time_ms", ms);
  bench::report("launches", static_cast<long long>(level));
  write_result(cost);
}

void run_boost(const char* path) {
  const Graph g = load(path);
  require_searchable(g);
  using CsrGraph =
      boost::compressed_sparse_row_graph<boost::directedS, boost::no_property, boost::no_property,
                                         boost::no_property, std::uint32_t, std::uint32_t>;
  // Node by node, each node's run in order: the list comes out sorted by source.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> arcs;
  arcs.reserve(static_cast<size_t>(g.edges));
  for (int i = 0; i < g.nodes; ++i)
    for (int e = g.node[i].first_edge; e < g.node[i].first_edge + g.node[i].edge_count; ++e)
      arcs.emplace_back(i, g.edge[e]);
  const CsrGraph graph(boost::edges_are_sorted, arcs.begin(), arcs.end(),
                       static_cast<std::uint32_t>(g.nodes));
  std::vector<int> cost(g.nodes, -1);
  cost[g.source] = 0;

  const auto start = bench::Clock::now();
  boost::breadth_first_search(
      graph, boost::vertex(g.source, graph),
      boost::visitor(boost::make_bfs_visitor(boost::record_distances(cost.data(), boost::on_tree_edge()))));
  const double ms = bench::ms_between(start, bench::Clock::now());

  bench::report("time_ms", ms);
  write_result(cost);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) bench::fail(kName, "usage: tessak_baseline load|levels|boost FILE");
  const std::string mode = argv[1];
  if (mode == "load")
    run_load(argv[2]);
  else if (mode == "levels")
    run_levels(argv[2]);
  else if (mode == "boost")
    run_boost(argv[2]);
  else
    bench::fail(kName, "unknown mode '" + mode + "' (load, levels or boost)");
  return 0;
}
