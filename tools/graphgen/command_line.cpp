#include "command_line.h"

#include <charconv>

namespace graphgen {

const std::string_view kUsage =
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

namespace {

template <typename T>
bool parse_number(std::string_view text, const char* what, T& value, std::string& error) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc() && end == text.data() + text.size()) return true;
  error = std::string(what) + " must be a whole number, not '" + std::string(text) + "'";
  return false;
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, Options& options, std::string& error) {
  std::vector<std::string_view> positional;
  for (int i = 1; i < argc; i++) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return true;
    }
    if (arg.starts_with("-") && arg.size() > 1 && !(arg[1] >= '0' && arg[1] <= '9')) {
      int* number = arg == "--min-degree"    ? &options.min_degree
                    : arg == "--max-degree"  ? &options.max_degree
                    : arg == "--edge-factor" ? &options.edge_factor
                                             : nullptr;
      if (!number && arg != "--seed" && arg != "--source" && arg != "-o") {
        error = "unknown option " + std::string(arg);
        return false;
      }
      if (i + 1 >= argc) {
        error = std::string(arg) + " needs a value";
        return false;
      }
      const std::string_view value = argv[++i];
      int source = 0;
      if (number) {
        if (!parse_number(value, argv[i - 1], *number, error)) return false;
      } else if (arg == "--seed") {
        if (!parse_number(value, "--seed", options.seed, error)) return false;
      } else if (arg == "--source") {
        if (!parse_number(value, "--source", source, error)) return false;
        options.source = source;
      } else {
        options.output = value;
      }
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) {
    error = "no graph kind given (uniform, rmat or grid)";
    return false;
  }
  options.kind = positional[0];
  const std::vector<std::string_view> sizes(positional.begin() + 1, positional.end());
  std::vector<const char*> names;
  if (options.kind == "uniform") names = {"NODES"};
  else if (options.kind == "rmat") names = {"SCALE"};
  else if (options.kind == "grid") names = {"WIDTH", "HEIGHT"};
  else {
    error = "unknown graph kind '" + options.kind + "' (uniform, rmat or grid)";
    return false;
  }
  if (sizes.size() != names.size()) {
    error = options.kind + " takes " + (names.size() == 1 ? names[0] : "WIDTH HEIGHT");
    return false;
  }
  options.sizes.assign(sizes.size(), 0);
  for (size_t i = 0; i < sizes.size(); i++)
    if (!parse_number(sizes[i], names[i], options.sizes[i], error)) return false;
  return true;
}

}  // namespace graphgen
