#include "graph.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace graphgen {

namespace {

constexpr int kMinCost = 1;
constexpr int kMaxCost = 10;

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

void require(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(what);
}

// Lays out per-node target lists end to end, drawing a cost for every edge.
Graph from_adjacency(const std::vector<std::vector<int>>& out, Random& random) {
  Graph graph;
  graph.first_edge.reserve(out.size());
  graph.edge_count.reserve(out.size());
  for (const std::vector<int>& targets : out) {
    graph.first_edge.push_back(static_cast<int>(graph.targets.size()));
    graph.edge_count.push_back(static_cast<int>(targets.size()));
    graph.targets.insert(graph.targets.end(), targets.begin(), targets.end());
  }
  graph.costs.resize(graph.targets.size());
  for (int& cost : graph.costs) cost = static_cast<int>(random.between(kMinCost, kMaxCost));
  return graph;
}

void append_int(std::string& out, int value, char after) {
  char buf[16];
  auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), value);
  out.append(buf, end);
  out.push_back(after);
}

}  // namespace

void Graph::add_node(const std::vector<int>& out) {
  first_edge.push_back(edge_list_size());
  edge_count.push_back(static_cast<int>(out.size()));
  targets.insert(targets.end(), out.begin(), out.end());
  costs.insert(costs.end(), out.size(), 1);
}

Random::Random(uint64_t seed) {
  uint64_t state = seed;
  for (uint64_t& word : s_) word = splitmix64(state);
}

uint64_t Random::next() {
  const uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

uint64_t Random::below(uint64_t bound) {
  // Lemire's multiply-and-reject: exact, and one multiplication almost always.
  unsigned __int128 m = static_cast<unsigned __int128>(next()) * bound;
  uint64_t low = static_cast<uint64_t>(m);
  if (low < bound) {
    const uint64_t threshold = (0 - bound) % bound;
    while (low < threshold) {
      m = static_cast<unsigned __int128>(next()) * bound;
      low = static_cast<uint64_t>(m);
    }
  }
  return static_cast<uint64_t>(m >> 64);
}

int64_t Random::between(int64_t lo, int64_t hi) {
  return lo + static_cast<int64_t>(below(static_cast<uint64_t>(hi - lo) + 1));
}

double Random::unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

Graph make_uniform(int nodes, int min_degree, int max_degree, uint64_t seed) {
  require(nodes > 0, "the node count must be at least 1");
  require(min_degree >= 0 && min_degree <= max_degree, "the degree range must be 0 <= MIN <= MAX");
  require(static_cast<int64_t>(nodes) * max_degree <= std::numeric_limits<int>::max(),
          "NODES * MAX degree must stay below 2^31 edges");
  Random random(seed);
  Graph graph;
  graph.first_edge.resize(nodes);
  graph.edge_count.resize(nodes);
  for (int i = 0; i < nodes; i++) {
    const int degree = static_cast<int>(random.between(min_degree, max_degree));
    graph.first_edge[i] = graph.edge_list_size();
    graph.edge_count[i] = degree;
    for (int e = 0; e < degree; e++) {
      graph.targets.push_back(static_cast<int>(random.below(nodes)));
      graph.costs.push_back(static_cast<int>(random.between(kMinCost, kMaxCost)));
    }
  }
  return graph;
}

Graph make_rmat(int scale, int edge_factor, uint64_t seed) {
  require(scale >= 0 && scale <= 30, "the scale must be 0..30");
  require(edge_factor >= 1, "the edge factor must be at least 1");
  const int64_t nodes = int64_t{1} << scale;
  const int64_t edges = nodes * edge_factor;
  require(edges <= std::numeric_limits<int>::max(), "2^SCALE * EDGE_FACTOR must stay below 2^31 edges");
  constexpr double a = 0.57, b = 0.19, c = 0.19;

  Random random(seed);
  std::vector<int> from(edges), to(edges);
  for (int64_t e = 0; e < edges; e++) {
    int u = 0, v = 0;
    for (int level = 0; level < scale; level++) {
      const double r = random.unit();
      const int right = (r >= a && r < a + b) || r >= a + b + c;  // quadrants b and d
      const int down = r >= a + b;                                // quadrants c and d
      u = u * 2 + down;
      v = v * 2 + right;
    }
    from[e] = u;
    to[e] = v;
  }

  // Without relabelling, low node numbers would be the hubs.
  std::vector<int> label(nodes);
  std::iota(label.begin(), label.end(), 0);
  for (int64_t i = nodes - 1; i > 0; i--) std::swap(label[i], label[random.below(i + 1)]);

  std::vector<std::vector<int>> out(nodes);
  for (int64_t e = 0; e < edges; e++) out[label[from[e]]].push_back(label[to[e]]);
  Graph graph = from_adjacency(out, random);
  for (int i = 1; i < graph.node_count(); i++)
    if (graph.edge_count[i] > graph.edge_count[graph.source]) graph.source = i;
  return graph;
}

Graph make_grid(int width, int height, uint64_t seed) {
  require(width > 0 && height > 0, "the grid sides must be at least 1");
  // The product of two ints fits in 64 bits; four times it need not.
  require(static_cast<int64_t>(width) * height <= std::numeric_limits<int>::max() / 4,
          "WIDTH * HEIGHT * 4 must stay below 2^31 edges");
  Random random(seed);
  std::vector<std::vector<int>> out(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      std::vector<int>& edges = out[static_cast<size_t>(y) * width + x];
      const int id = y * width + x;
      if (x + 1 < width) edges.push_back(id + 1);
      if (x > 0) edges.push_back(id - 1);
      if (y + 1 < height) edges.push_back(id + width);
      if (y > 0) edges.push_back(id - width);
    }
  }
  return from_adjacency(out, random);
}

std::string format_graph(const Graph& graph) {
  std::string text;
  text.reserve(16 + static_cast<size_t>(graph.node_count()) * 16 +
               static_cast<size_t>(graph.edge_list_size()) * 12);
  append_int(text, graph.node_count(), '\n');
  for (int i = 0; i < graph.node_count(); i++) {
    append_int(text, graph.first_edge[i], ' ');
    append_int(text, graph.edge_count[i], '\n');
  }
  append_int(text, graph.source, '\n');
  append_int(text, graph.edge_list_size(), '\n');
  for (int i = 0; i < graph.edge_list_size(); i++) {
    append_int(text, graph.targets[i], ' ');
    append_int(text, graph.costs[i], '\n');
  }
  return text;
}

namespace {

// Reads whitespace-separated integers with an optional sign.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool next(int& value, std::string* error, const std::string& what) {
    while (pos_ < text_.size() && std::string_view(" \t\n\v\f\r").find(text_[pos_]) != std::string_view::npos) pos_++;
    if (pos_ == text_.size()) {
      *error = what + " is missing";
      return false;
    }
    size_t start = pos_;
    if (text_[start] == '+') start++;
    auto [end, ec] = std::from_chars(text_.data() + start, text_.data() + text_.size(), value);
    if (ec != std::errc() || (text_[pos_] == '+' && start < text_.size() && text_[start] == '-')) {
      *error = what + " is not a 32-bit integer";
      return false;
    }
    pos_ = static_cast<size_t>(end - text_.data());
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<Graph> parse_graph(std::string_view text, std::string* error) {
  Scanner scan(text);
  Graph graph;
  int nodes = 0;
  if (!scan.next(nodes, error, "node count")) return std::nullopt;
  if (nodes < 0) {
    *error = "negative node count";
    return std::nullopt;
  }
  // Every record takes at least four characters: the vectors grow with what
  // the text holds, not with what its counts claim.
  graph.first_edge.reserve(std::min<size_t>(nodes, text.size() / 4));
  graph.edge_count.reserve(std::min<size_t>(nodes, text.size() / 4));
  for (int i = 0; i < nodes; i++) {
    const std::string record = "node " + std::to_string(i);
    int first = 0, count = 0;
    if (!scan.next(first, error, record + " first_edge") || !scan.next(count, error, record + " edge_count"))
      return std::nullopt;
    graph.first_edge.push_back(first);
    graph.edge_count.push_back(count);
  }
  if (!scan.next(graph.source, error, "source")) return std::nullopt;
  if (graph.source < 0 || graph.source >= nodes) {
    *error = "source out of range";
    return std::nullopt;
  }
  int edges = 0;
  if (!scan.next(edges, error, "edge count")) return std::nullopt;
  if (edges < 0) {
    *error = "negative edge count";
    return std::nullopt;
  }
  graph.targets.reserve(std::min<size_t>(edges, text.size() / 4));
  graph.costs.reserve(std::min<size_t>(edges, text.size() / 4));
  for (int i = 0; i < edges; i++) {
    const std::string record = "edge " + std::to_string(i);
    int target = 0, cost = 0;
    if (!scan.next(target, error, record + " target") || !scan.next(cost, error, record + " cost"))
      return std::nullopt;
    graph.targets.push_back(target);
    graph.costs.push_back(cost);
    if (graph.targets[i] < 0 || graph.targets[i] >= nodes) {
      *error = record + " target out of range";
      return std::nullopt;
    }
  }
  for (int i = 0; i < nodes; i++) {
    const int64_t first = graph.first_edge[i], count = graph.edge_count[i];
    if (count > 0 && (first < 0 || first + count > edges)) {
      *error = "node " + std::to_string(i) + " edges leave the edge list";
      return std::nullopt;
    }
    // A search adds the two in int, edges or none.
    if (first + count < std::numeric_limits<int>::min()) {
      *error = "node " + std::to_string(i) + " first_edge plus edge_count does not fit in a 32-bit integer";
      return std::nullopt;
    }
  }
  return graph;
}

std::vector<int> bfs_hops(const Graph& graph) {
  std::vector<int> hops(graph.node_count(), -1);
  std::vector<int> queue;
  queue.reserve(graph.node_count());
  hops[graph.source] = 0;
  queue.push_back(graph.source);
  for (size_t head = 0; head < queue.size(); head++) {
    const int node = queue[head];
    const int first = graph.first_edge[node];
    for (int i = first; i < first + graph.edge_count[node]; i++) {
      const int target = graph.targets[i];
      if (hops[target] < 0) {
        hops[target] = hops[node] + 1;
        queue.push_back(target);
      }
    }
  }
  return hops;
}

}  // namespace graphgen
