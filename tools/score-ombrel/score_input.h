// What score-ombrel reads: its command line and ombrel's output, parsed
// without side effects so that both can be checked on their own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace score_ombrel {

extern const char* const kUsage;

struct Options {
  bool help = false;                                 ///< -h, --help: print kUsage only
  std::string labels = "data/t10k-labels-idx1-ubyte";
  std::size_t held_out = 2000;
  std::string input;                                 ///< empty: standard input
};

/// Reads the command line into `options`. False with `error` (one line,
/// without the tool's name) when it is refused; `usage` then says whether the
/// usage text should follow it.
bool parse_command_line(int argc, const char* const* argv, Options& options, std::string& error, bool& usage);

/// Finds ombrel's result line in its output: the line after the last "NUM="
/// line, which must hold NUM digits; or, in text without a "NUM=" line, its
/// only non-empty line. False with `error` when there is none or it is not
/// single digits separated by single spaces.
bool result_digits(const std::string& text, std::vector<int>& digits, std::string& error);

}  // namespace score_ombrel
