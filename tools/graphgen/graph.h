// Directed graphs in the text format tessak reads, with deterministic
// generators (uniform random, R-MAT, 2-D grid), a writer, a reader and a plain
// queue-based breadth-first search to check search results against.
//
// The text format, every value a decimal integer separated by white space:
//   N, then N node records "first_edge edge_count", then the source node,
//   then E, then E edge records "target cost".
// A node's edges are the edge_count entries of the edge list from first_edge.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace graphgen {

struct Graph {
  std::vector<int> first_edge;  ///< per node: index of its first edge
  std::vector<int> edge_count;  ///< per node: number of outgoing edges
  std::vector<int> targets;     ///< per edge-list entry: the target node
  std::vector<int> costs;       ///< per edge-list entry: 1..10 (the search ignores it)
  int source = 0;

  int node_count() const { return static_cast<int>(first_edge.size()); }
  int edge_list_size() const { return static_cast<int>(targets.size()); }
  /// Appends a node whose edges go to `out` (costs 1), laid after the edges so far.
  void add_node(const std::vector<int>& out);
};

/// xoshiro256** seeded through splitmix64: the same seed gives the same
/// numbers on every platform and standard library.
class Random {
 public:
  explicit Random(uint64_t seed);
  uint64_t next();
  /// Uniform in 0 .. bound-1 (bound > 0), without modulo bias.
  uint64_t below(uint64_t bound);
  /// Uniform in lo .. hi inclusive (lo <= hi).
  int64_t between(int64_t lo, int64_t hi);
  /// Uniform in [0, 1) with 53 random bits.
  double unit();

 private:
  uint64_t s_[4];
};

/// Each node gets an out-degree uniform in min_degree..max_degree, each edge a
/// uniform random target (self-loops and repeated targets included) and a cost
/// 1..10. Source 0.
Graph make_uniform(int nodes, int min_degree, int max_degree, uint64_t seed);

/// R-MAT with the Graph500 parameters (a=0.57, b=0.19, c=0.19, d=0.05):
/// 2^scale nodes and edge_factor * 2^scale directed edges, node labels randomly
/// permuted, costs 1..10. Self-loops and repeated edges are kept. The source
/// is a node of largest out-degree (the lowest such index).
Graph make_rmat(int scale, int edge_factor, uint64_t seed);

/// A width x height grid, node (x, y) numbered y * width + x, with edges to
/// each of the up to four neighbours (right, left, down, up, in that order),
/// costs 1..10. Source 0, the corner, so the search runs width + height - 1 levels.
Graph make_grid(int width, int height, uint64_t seed);

/// The graph in the text format: one record per line, newline-terminated.
std::string format_graph(const Graph& graph);

/// Reads the text format strictly: every value present and an integer, and
/// the graph consistent (counts non-negative, source, targets and edge runs in
/// range, first_edge + edge_count within int). On failure returns nothing and
/// sets *error.
std::optional<Graph> parse_graph(std::string_view text, std::string* error);

/// Hop counts from the source by a plain queue-based search, -1 for unreached.
std::vector<int> bfs_hops(const Graph& graph);

}  // namespace graphgen
