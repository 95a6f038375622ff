// fetch-digits' command line, read without side effects so that it can be
// checked on its own.
#pragma once

#include <filesystem>
#include <string>

namespace fetch_digits {

extern const char* const kUsage;

struct Options {
  bool help = false;              ///< -h, --help: print kUsage only
  std::filesystem::path data = "data";
  std::filesystem::path package;  ///< empty: install the package into the data cache
};

/// Reads the command line into `options`. False with `error` (one line,
/// without the tool's name; the usage text follows it) when it is refused.
bool parse_command_line(int argc, const char* const* argv, Options& options, std::string& error);

}  // namespace fetch_digits
