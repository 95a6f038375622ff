// train-ombrel: trains ombrel's digit network on the training digits and
// writes its four weight files, or, with --outputs, prints what the network
// in those files computes for one image.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "digits/idx.h"
#include "train-ombrel/command_line.h"
#include "train-ombrel/network.h"
#include "train-ombrel/trainer.h"

namespace {

namespace fs = std::filesystem;

int fail(const std::string& message) {
  std::fprintf(stderr, "train-ombrel: %s\n", message.c_str());
  return 1;
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
  ombrel_net::Options options;
  std::string error;
  bool usage = false;
  if (!ombrel_net::parse_command_line(argc, argv, options, error, usage)) {
    std::fprintf(stderr, "train-ombrel: %s\n%s", error.c_str(), usage ? ombrel_net::kUsage : "");
    return 1;
  }
  if (options.help) {
    std::fputs(ombrel_net::kUsage, stdout);
    return 0;
  }
  const fs::path& images = options.images;
  const fs::path& labels = options.labels;
  const fs::path& out = options.out;
  const fs::path& outputs_of = options.outputs_of;
  const ombrel_net::TrainingSettings& settings = options.settings;
  const std::size_t limit = options.limit, validate = options.validate;

  if (!outputs_of.empty()) return print_outputs(outputs_of, out);

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

  // Training that diverged (a rate too large for the digits) ends in weights
  // that are not finite: they would replace a working set with one that
  // classifies nothing.
  if (!std::all_of(parameters.begin(), parameters.end(), [](float p) { return std::isfinite(p); }))
    return fail("training diverged: the weights are not finite numbers; nothing written");
  if (!ombrel_net::write_weights(out, ombrel_net::to_weights(parameters), error)) return fail(error);
  std::printf("trained in %.1f s; accuracy on the undistorted training digits %.2f%%\n", seconds,
              100.0 * ombrel_net::accuracy(parameters, training));
  std::printf("wrote %s, %s, %s, %s\n", (out / "lw1.wei").c_str(), (out / "lw2.wei").c_str(),
              (out / "lw3.wei").c_str(), (out / "lw4.wei").c_str());
  return 0;
}
