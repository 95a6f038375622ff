// train-ombrel: trains ombrel's digit network on the training digits and
// writes its four weight files, or, with --outputs, prints what the network
// in those files computes for one image.
#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "digits/idx.h"
#include "train-ombrel/network.h"
#include "train-ombrel/trainer.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
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

int fail(const std::string& message) {
  std::fprintf(stderr, "train-ombrel: %s\n", message.c_str());
  return 1;
}

template <class T>
bool parse_number(std::string_view text, T& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

digits::DigitSet slice(const digits::DigitSet& set, std::size_t first, std::size_t count) {
  digits::DigitSet part;
  part.pixels.assign(set.pixels.begin() + static_cast<std::ptrdiff_t>(first * digits::kImagePixels),
                     set.pixels.begin() + static_cast<std::ptrdiff_t>((first + count) * digits::kImagePixels));
  part.labels.assign(set.labels.begin() + static_cast<std::ptrdiff_t>(first),
                     set.labels.begin() + static_cast<std::ptrdiff_t>(first + count));
  return part;
}

int print_outputs(const fs::path& images, const fs::path& weights_folder) {
  std::string error;
  std::vector<std::uint8_t> pixels;
  if (!digits::read_idx_images(images, pixels, error)) return fail(error);
  if (pixels.empty()) return fail(images.string() + " holds no images");
  ombrel_net::Weights weights;
  if (!ombrel_net::read_weights(weights_folder, weights, error)) return fail(error);
  const std::vector<float> parameters = ombrel_net::to_parameters(weights);
  std::array<float, ombrel_net::kSlotSize> slot{};
  ombrel_net::encode_slot(std::span<const std::uint8_t, 784>(pixels.data(), 784), slot);
  auto pass = std::make_unique<ombrel_net::Pass>();
  ombrel_net::forward(parameters, slot, *pass);
  for (int d = 0; d < ombrel_net::kOutputs; ++d) std::printf("%d %.9g\n", d, pass->outputs[d]);
  std::printf("digit %d\n", ombrel_net::winning_digit(pass->outputs));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path images = "data/train-images-idx3-ubyte", labels = "data/train-labels-idx1-ubyte", out = "data";
  fs::path outputs_of;
  ombrel_net::TrainingSettings settings;
  std::size_t limit = 0, validate = 0;

  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--no-distortion") {
      settings.distort = false;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "train-ombrel: unknown argument or missing value: '%s'\n%s", argv[i], kUsage);
      return 1;
    }
    const std::string_view value = argv[++i];
    bool ok = true;
    if (arg == "--images") images = value;
    else if (arg == "--labels") labels = value;
    else if (arg == "--out") out = value;
    else if (arg == "--outputs") outputs_of = value;
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
    else if (arg == "--limit") ok = parse_number(value, limit) && limit > 0;
    else if (arg == "--validate") ok = parse_number(value, validate);
    else {
      std::fprintf(stderr, "train-ombrel: unknown argument '%s'\n%s", argv[i - 1], kUsage);
      return 1;
    }
    if (!ok) return fail("bad value '" + std::string(value) + "' for " + std::string(arg));
  }

  if (!outputs_of.empty()) return print_outputs(outputs_of, out);

  std::string error;
  digits::DigitSet all;
  if (!digits::read_digit_set(images, labels, all, error)) return fail(error);
  const std::size_t used = limit > 0 ? std::min(limit, all.size()) : all.size();
  if (validate >= used) return fail("--validate " + std::to_string(validate) + " leaves no digits to train on");
  const digits::DigitSet training = slice(all, 0, used - validate);
  const digits::DigitSet validation = slice(all, used - validate, validate);
  // Fail now rather than after the whole run if the weights cannot be written.
  std::error_code ec;
  if (!fs::is_directory(out, ec)) return fail(out.string() + " is not a folder");

  std::printf("training on %zu digits%s for %d epochs (batch %d, rate %g to %g, seed %llu, %d thread%s%s)\n",
              training.size(), validation.size() ? (", validating on " + std::to_string(validation.size())).c_str() : "",
              settings.epochs, settings.batch, settings.rate, settings.final_rate,
              static_cast<unsigned long long>(settings.seed), settings.threads, settings.threads == 1 ? "" : "s",
              settings.distort ? "" : ", no distortion");
  std::fflush(stdout);
  double seconds = 0;
  const std::vector<float> parameters =
      ombrel_net::train(training, validation, settings, [&](const ombrel_net::EpochReport& r) {
        std::printf("epoch %d: loss %.4f, training errors %.2f%%", r.epoch, r.loss, 100.0 * r.error_rate);
        if (r.validation_accuracy >= 0) std::printf(", validation %.2f%%", 100.0 * r.validation_accuracy);
        std::printf(", %.1f s\n", r.seconds);
        std::fflush(stdout);
        seconds = r.seconds;
      });

  if (!ombrel_net::write_weights(out, ombrel_net::to_weights(parameters), error)) return fail(error);
  std::printf("trained in %.1f s; accuracy on the undistorted training digits %.2f%%\n", seconds,
              100.0 * ombrel_net::accuracy(parameters, training));
  std::printf("wrote %s, %s, %s, %s\n", (out / "lw1.wei").c_str(), (out / "lw2.wei").c_str(),
              (out / "lw3.wei").c_str(), (out / "lw4.wei").c_str());
  return 0;
}
