// The tools' command lines: the first byte picks the tool, the rest holds
// its arguments separated by NUL bytes. Each tool's reader accepts a command
// line or refuses it with a message; what it accepts is within the bounds
// the tool relies on.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_line.h"  // graphgen
#include "fetch-digits/command_line.h"
#include "score_input.h"
#include "train-ombrel/command_line.h"

namespace {

void refused_with_a_message(bool ok, const std::string& error) {
  if (!ok && error.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<std::string> args{"tool", ""};
  for (size_t i = 1; i < size && args.size() < 64; i++) {
    if (data[i] == 0) args.emplace_back();
    else args.back() += static_cast<char>(data[i]);
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());
  std::string error;
  bool usage = false;
  switch (data[0] % 4) {
    case 0: {
      graphgen::Options options;
      const bool ok = graphgen::parse_command_line(argc, argv.data(), options, error);
      refused_with_a_message(ok, error);
      if (ok && !options.help) {
        const size_t want = options.kind == "grid" ? 2 : 1;
        if (options.sizes.size() != want) std::abort();
        if (options.kind != "grid" && options.kind != "uniform" && options.kind != "rmat") std::abort();
      }
      break;
    }
    case 1: {
      score_ombrel::Options options;
      refused_with_a_message(score_ombrel::parse_command_line(argc, argv.data(), options, error, usage), error);
      break;
    }
    case 2: {
      ombrel_net::Options options;
      const bool ok = ombrel_net::parse_command_line(argc, argv.data(), options, error, usage);
      refused_with_a_message(ok, error);
      const ombrel_net::TrainingSettings& s = options.settings;
      if (ok && !options.help &&
          (!std::isfinite(s.rate) || !(s.rate > 0) || !std::isfinite(s.final_rate) || !std::isfinite(s.weight_decay) ||
           !std::isfinite(s.average) || s.epochs < 1 || s.batch < 1 || (s.threads != 1 && s.threads != 2) ||
           !std::isfinite(s.distortion.max_rotation_degrees) || !std::isfinite(s.distortion.max_shift) ||
           !std::isfinite(s.distortion.elastic_alpha) || !std::isfinite(s.distortion.elastic_sigma)))
        std::abort();
      break;
    }
    case 3: {
      fetch_digits::Options options;
      refused_with_a_message(fetch_digits::parse_command_line(argc, argv.data(), options, error), error);
      break;
    }
  }
  return 0;
}
