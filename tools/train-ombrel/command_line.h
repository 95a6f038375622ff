// train-ombrel's command line, read without side effects so that it can be
// checked on its own.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "train-ombrel/trainer.h"

namespace ombrel_net {

extern const char* const kUsage;

struct Options {
  bool help = false;  ///< -h, --help: print kUsage only
  std::filesystem::path images = "data/train-images-idx3-ubyte";
  std::filesystem::path labels = "data/train-labels-idx1-ubyte";
  std::filesystem::path out = "data";
  std::filesystem::path outputs_of;  ///< --outputs: print one image's scores, train nothing
  TrainingSettings settings;
  std::size_t limit = 0;     ///< 0: every digit
  std::size_t validate = 0;
};

/// Reads the command line into `options`. False with `error` (one line,
/// without the tool's name) when it is refused: an unknown argument, a
/// missing value, or a value out of its range (every real value must be
/// finite); `usage` then says whether the usage text should follow it.
bool parse_command_line(int argc, const char* const* argv, Options& options, std::string& error, bool& usage);

}  // namespace ombrel_net
