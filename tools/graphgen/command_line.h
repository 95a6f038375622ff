// graphgen's command line, read without side effects so that it can be
// checked on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace graphgen {

extern const std::string_view kUsage;

struct Options {
  bool help = false;         ///< --help: print kUsage and do nothing else
  std::string kind;          ///< uniform, rmat or grid
  std::vector<int> sizes;    ///< NODES, SCALE, or WIDTH and HEIGHT
  int min_degree = 1;
  int max_degree = 11;
  int edge_factor = 16;
  uint64_t seed = 1;
  std::optional<int> source;
  std::string output;        ///< empty: standard output
};

/// Reads the command line into `options`. False with `error` (one phrase,
/// without the tool's name) when it is refused: an unknown option or kind, a
/// missing value, a number that is not whole, the wrong count of sizes.
bool parse_command_line(int argc, const char* const* argv, Options& options, std::string& error);

}  // namespace graphgen
