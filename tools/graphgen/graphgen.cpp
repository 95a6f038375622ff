// graphgen: writes a directed graph in the text format tessak reads.
// The same command line and seed always give the same file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "command_line.h"
#include "graph.h"
#include "gpu_runtime/file_io.h"

namespace {

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "graphgen: %s\n", message.c_str());
  std::fprintf(stderr, "Try 'graphgen --help'.\n");
  std::exit(1);
}

graphgen::Graph generate(const graphgen::Options& options) {
  if (options.kind == "uniform")
    return graphgen::make_uniform(options.sizes[0], options.min_degree, options.max_degree, options.seed);
  if (options.kind == "rmat") return graphgen::make_rmat(options.sizes[0], options.edge_factor, options.seed);
  return graphgen::make_grid(options.sizes[0], options.sizes[1], options.seed);
}

}  // namespace

int main(int argc, char** argv) {
  graphgen::Options options;
  std::string error;
  if (!graphgen::parse_command_line(argc, argv, options, error)) fail(error);
  if (options.help) {
    std::fwrite(graphgen::kUsage.data(), 1, graphgen::kUsage.size(), stdout);
    return 0;
  }
  graphgen::Graph graph;
  try {
    graph = generate(options);
  } catch (const std::invalid_argument& e) {
    fail(e.what());
  } catch (const std::bad_alloc&) {
    fail("not enough memory for a graph this large");
  } catch (const std::length_error&) {
    fail("not enough memory for a graph this large");
  }
  if (options.source) {
    if (*options.source < 0 || *options.source >= graph.node_count())
      fail("--source must lie in 0.." + std::to_string(graph.node_count() - 1));
    graph.source = *options.source;
  }

  const std::string text = graphgen::format_graph(graph);
  if (options.output.empty()) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (!written || std::fflush(stdout) != 0) fail(std::string("cannot write standard output: ") + std::strerror(errno));
  } else if (!gpu_runtime::write_whole_file(options.output, text, error)) {
    // Written beside the old file and renamed over it once complete.
    fail(error);
  }
  return 0;
}
