// Graph text through graphgen's strict reader: it accepts or refuses with a
// message, and what it accepts searches without a fault and survives being
// written and read again unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "graph.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  const auto graph = graphgen::parse_graph(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (!graph) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  const std::vector<int> hops = graphgen::bfs_hops(*graph);
  if (hops.size() != static_cast<size_t>(graph->node_count()) || hops[graph->source] != 0) std::abort();
  const auto again = graphgen::parse_graph(graphgen::format_graph(*graph), &error);
  if (!again || again->first_edge != graph->first_edge || again->edge_count != graph->edge_count ||
      again->targets != graph->targets || again->costs != graph->costs || again->source != graph->source)
    std::abort();
  return 0;
}
