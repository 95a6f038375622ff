#include "train-ombrel/command_line.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <type_traits>

namespace ombrel_net {

const char* const kUsage =
    "usage: train-ombrel [options]\n"
    "  Trains the digit network on the training digits and writes lw1.wei ... lw4.wei.\n"
    "  --images FILE      training images (default data/train-images-idx3-ubyte)\n"
    "  --labels FILE      training labels (default data/train-labels-idx1-ubyte)\n"
    "  --out DIR          folder of the weight files (default data)\n"
    "  --epochs N         passes over the training digits (default 300)\n"
    "  --batch N          digits per step (default 16)\n"
    "  --rate R           first step size (default 0.001)\n"
    "  --final-rate R     last step size (default 0.00001)\n"
    "  --weight-decay W   shrink the weights by rate * W of themselves per step (default 0)\n"
    "  --average D        keep share D of the weights' running average per step (default 0.999; 0: none)\n"
    "  --seed N           seed of the starting weights, order and distortions (default 1)\n"
    "  --threads N        1 or 2 (default 2); the result does not depend on it\n"
    "  --limit N          train on the first N digits only\n"
    "  --validate N       keep the last N digits out of training and report their accuracy\n"
    "  --no-distortion    train on the digits as they are\n"
    "  --rotation DEG     largest rotation of a distorted digit (default 12)\n"
    "  --scale S          largest change of scale per axis (default 0.12)\n"
    "  --shift PX         largest shift per axis (default 1.5)\n"
    "  --elastic-alpha A  strength of the elastic distortion (default 34; 0: none)\n"
    "  --elastic-sigma S  smoothness of the elastic distortion in pixels (default 5)\n"
    "  --outputs FILE     print the ten scores of the first image of FILE, computed with\n"
    "                     the weight files in --out, and the winning digit; train nothing\n";

namespace {

// A whole value of type T, and for floating types a finite one: an infinite
// or NaN rate or distortion would train NaN weights.
template <class T>
bool parse_number(std::string_view text, T& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if constexpr (std::is_floating_point_v<T>) return std::isfinite(value);
  return true;
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, Options& options, std::string& error, bool& usage) {
  usage = false;
  TrainingSettings& settings = options.settings;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return true;
    }
    if (arg == "--no-distortion") {
      settings.distort = false;
      continue;
    }
    if (i + 1 >= argc) {
      error = "unknown argument or missing value: '" + std::string(arg) + "'";
      usage = true;
      return false;
    }
    const std::string_view value = argv[++i];
    bool ok = true;
    if (arg == "--images") options.images = value;
    else if (arg == "--labels") options.labels = value;
    else if (arg == "--out") options.out = value;
    else if (arg == "--outputs") options.outputs_of = value;
    else if (arg == "--epochs") ok = parse_number(value, settings.epochs) && settings.epochs > 0;
    else if (arg == "--batch") ok = parse_number(value, settings.batch) && settings.batch > 0;
    else if (arg == "--rate") ok = parse_number(value, settings.rate) && settings.rate > 0;
    else if (arg == "--final-rate") ok = parse_number(value, settings.final_rate) && settings.final_rate > 0;
    else if (arg == "--seed") ok = parse_number(value, settings.seed);
    else if (arg == "--threads") ok = parse_number(value, settings.threads) && (settings.threads == 1 || settings.threads == 2);
    else if (arg == "--rotation") ok = parse_number(value, settings.distortion.max_rotation_degrees) && settings.distortion.max_rotation_degrees >= 0;
    else if (arg == "--scale") ok = parse_number(value, settings.distortion.max_scale) && settings.distortion.max_scale >= 0 && settings.distortion.max_scale < 0.5f;
    else if (arg == "--shift") ok = parse_number(value, settings.distortion.max_shift) && settings.distortion.max_shift >= 0;
    else if (arg == "--elastic-alpha") ok = parse_number(value, settings.distortion.elastic_alpha) && settings.distortion.elastic_alpha >= 0;
    else if (arg == "--elastic-sigma") ok = parse_number(value, settings.distortion.elastic_sigma) && settings.distortion.elastic_sigma > 0;
    else if (arg == "--average") ok = parse_number(value, settings.average) && settings.average >= 0 && settings.average < 1;
    else if (arg == "--weight-decay") ok = parse_number(value, settings.weight_decay) && settings.weight_decay >= 0;
    else if (arg == "--limit") ok = parse_number(value, options.limit) && options.limit > 0;
    else if (arg == "--validate") ok = parse_number(value, options.validate);
    else {
      error = "unknown argument '" + std::string(argv[i - 1]) + "'";
      usage = true;
      return false;
    }
    if (!ok) {
      error = "bad value '" + std::string(value) + "' for " + std::string(arg);
      return false;
    }
  }
  return true;
}

}  // namespace ombrel_net
