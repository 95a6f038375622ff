// The digit tools' file readers on any bytes: IDX image and label files, the
// package's JSON digit files, the trainer's weight files and ombrel's output
// as score-ombrel reads it. The first byte picks the reader; each accepts
// what is well formed, or refuses with a message, and never reads outside
// the bytes.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "digits/digit_json.h"
#include "digits/idx.h"
#include "score_input.h"
#include "train-ombrel/network.h"

namespace {

void refused_with_a_message(bool ok, const std::string& error) {
  if (!ok && error.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t reader = data[0] % 5;
  const std::span<const uint8_t> bytes(data + 1, size - 1);
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string error;
  switch (reader) {
    case 0: {
      std::vector<uint8_t> pixels;
      const bool ok = digits::parse_idx_images("images", bytes, pixels, error);
      refused_with_a_message(ok, error);
      if (ok && (pixels.size() % digits::kImagePixels != 0 || pixels.size() + 16 != bytes.size())) std::abort();
      break;
    }
    case 1: {
      digits::DigitSet set;
      const bool ok = digits::parse_idx_labels("labels", bytes, set.labels, error);
      refused_with_a_message(ok, error);
      if (ok && set.labels.size() + 8 != bytes.size()) std::abort();
      // Labels against as many blank images: only digits 0 to 9 pass.
      if (ok) {
        set.pixels.assign(set.labels.size() * digits::kImagePixels, 0);
        const bool digits_only = digits::check_digit_set("images", "labels", set, error);
        for (uint8_t label : set.labels)
          if (digits_only && label > 9) std::abort();
      }
      break;
    }
    case 2: {
      std::vector<uint8_t> pixels;
      const bool ok = digits::parse_digit_json(text, pixels, error);
      refused_with_a_message(ok, error);
      if (ok && pixels.size() % digits::kImagePixels != 0) std::abort();
      break;
    }
    case 3: {
      ombrel_net::Weights weights;
      const bool ok = ombrel_net::parse_floats("lw3.wei", text, weights.layer3, error);
      refused_with_a_message(ok, error);
      if (ok != (text.size() >= weights.layer3.size() * sizeof(float))) std::abort();
      break;
    }
    case 4: {
      std::vector<int> digits;
      const bool ok = score_ombrel::result_digits(std::string(text), digits, error);
      refused_with_a_message(ok, error);
      for (int d : digits)
        if (ok && (d < 0 || d > 9)) std::abort();
      break;
    }
  }
  return 0;
}
