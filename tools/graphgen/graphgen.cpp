// graphgen: writes a directed graph in the text format tessak reads.
// The same command line and seed always give the same file.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: graphgen uniform NODES [--min-degree N] [--max-degree N] [options]\n"
    "       graphgen rmat SCALE [--edge-factor N] [options]\n"
    "       graphgen grid WIDTH HEIGHT [options]\n"
    "\n"
    "  uniform  NODES nodes; each gets an out-degree drawn from MIN..MAX (default 1..11)\n"
    "           and uniform random targets. Source 0.\n"
    "  rmat     2^SCALE nodes and EDGE_FACTOR * 2^SCALE edges (default 16) drawn with the\n"
    "           Graph500 R-MAT parameters a=0.57 b=0.19 c=0.19, node labels permuted.\n"
    "           Source: a node of largest out-degree.\n"
    "  grid     WIDTH x HEIGHT nodes, node (x, y) numbered y*WIDTH+x, edges to the four\n"
    "           neighbours. Source 0, a corner.\n"
    "\n"
    "Options:\n"
    "  --seed N      random seed (default 1); every edge also gets a cost 1..10\n"
    "  --source N    search from node N instead\n"
    "  -o FILE       write FILE instead of standard output\n";

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "graphgen: %s\n", message.c_str());
  std::fprintf(stderr, "Try 'graphgen --help'.\n");
  std::exit(1);
}

template <typename T>
T parse_number(std::string_view text, const char* what) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size())
    fail(std::string(what) + " must be a whole number, not '" + std::string(text) + "'");
  return value;
}

struct Options {
  std::string kind;
  std::vector<std::string_view> sizes;
  int min_degree = 1;
  int max_degree = 11;
  int edge_factor = 16;
  uint64_t seed = 1;
  std::optional<int> source;
  std::string output;
};

Options parse_command_line(int argc, char** argv) {
  Options options;
  std::vector<std::string_view> positional;
  for (int i = 1; i < argc; i++) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
      std::exit(0);
    }
    if (arg.starts_with("-") && arg.size() > 1 && !(arg[1] >= '0' && arg[1] <= '9')) {
      int* number = arg == "--min-degree"    ? &options.min_degree
                    : arg == "--max-degree"  ? &options.max_degree
                    : arg == "--edge-factor" ? &options.edge_factor
                                             : nullptr;
      if (!number && arg != "--seed" && arg != "--source" && arg != "-o")
        fail("unknown option " + std::string(arg));
      if (i + 1 >= argc) fail(std::string(arg) + " needs a value");
      const std::string_view value = argv[++i];
      if (number) *number = parse_number<int>(value, argv[i - 1]);
      else if (arg == "--seed") options.seed = parse_number<uint64_t>(value, "--seed");
      else if (arg == "--source") options.source = parse_number<int>(value, "--source");
      else options.output = value;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) fail("no graph kind given (uniform, rmat or grid)");
  options.kind = positional[0];
  options.sizes.assign(positional.begin() + 1, positional.end());
  return options;
}

graphgen::Graph generate(const Options& options) {
  const auto want_sizes = [&](size_t count, const char* names) {
    if (options.sizes.size() != count) fail(options.kind + " takes " + names);
  };
  if (options.kind == "uniform") {
    want_sizes(1, "NODES");
    return graphgen::make_uniform(parse_number<int>(options.sizes[0], "NODES"), options.min_degree,
                                  options.max_degree, options.seed);
  }
  if (options.kind == "rmat") {
    want_sizes(1, "SCALE");
    return graphgen::make_rmat(parse_number<int>(options.sizes[0], "SCALE"), options.edge_factor,
                               options.seed);
  }
  if (options.kind == "grid") {
    want_sizes(2, "WIDTH HEIGHT");
    return graphgen::make_grid(parse_number<int>(options.sizes[0], "WIDTH"),
                               parse_number<int>(options.sizes[1], "HEIGHT"), options.seed);
  }
  fail("unknown graph kind '" + options.kind + "' (uniform, rmat or grid)");
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_command_line(argc, argv);
  graphgen::Graph graph;
  try {
    graph = generate(options);
  } catch (const std::invalid_argument& e) {
    fail(e.what());
  } catch (const std::bad_alloc&) {
    fail("not enough memory for a graph this large");
  }
  if (options.source) {
    if (*options.source < 0 || *options.source >= graph.node_count())
      fail("--source must lie in 0.." + std::to_string(graph.node_count() - 1));
    graph.source = *options.source;
  }

  const std::string text = graphgen::format_graph(graph);
  std::FILE* out = options.output.empty() ? stdout : std::fopen(options.output.c_str(), "w");
  if (!out) fail("cannot create " + options.output + ": " + std::strerror(errno));
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  const bool closed = (out == stdout ? std::fflush(out) : std::fclose(out)) == 0;
  if (!written || !closed)
    fail("cannot write " + (options.output.empty() ? std::string("standard output") : options.output) +
         ": " + std::strerror(errno));
  return 0;
}
