// Reading and writing IDX digit files.
#include "digits/idx.h"

#include "gpu_runtime/file_io.h"

namespace digits {
namespace {

void put_word(std::vector<std::uint8_t>& out, std::uint32_t word) {
  out.push_back(static_cast<std::uint8_t>(word >> 24));
  out.push_back(static_cast<std::uint8_t>(word >> 16));
  out.push_back(static_cast<std::uint8_t>(word >> 8));
  out.push_back(static_cast<std::uint8_t>(word));
}

std::uint32_t get_word(std::span<const std::uint8_t> in, std::size_t at) {
  return (std::uint32_t{in[at]} << 24) | (std::uint32_t{in[at + 1]} << 16) |
         (std::uint32_t{in[at + 2]} << 8) | std::uint32_t{in[at + 3]};
}

bool read_whole_file(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes,
                     std::string& error) {
  std::string text;
  if (!gpu_runtime::read_whole_file(path.string(), text, error)) return false;
  bytes.assign(text.begin(), text.end());
  return true;
}

// Checks the magic number and that the data after a header of
// `header_words` words is exactly `item_bytes` per promised item.
bool check_layout(const std::string& name, std::span<const std::uint8_t> bytes, std::uint32_t magic,
                  std::size_t header_words, std::size_t item_bytes, std::string& error) {
  const std::string kind = magic == kImageMagic ? "image" : "label";
  if (bytes.size() < header_words * 4) {
    error = name + ": too short for an IDX " + kind + " file header";
    return false;
  }
  if (get_word(bytes, 0) != magic) {
    error = name + ": not an IDX " + kind + " file (magic number " + std::to_string(get_word(bytes, 0)) +
            ", expected " + std::to_string(magic) + ")";
    return false;
  }
  const std::size_t count = get_word(bytes, 4);
  const std::size_t data = bytes.size() - header_words * 4;
  if (data != count * item_bytes) {
    error = name + ": the header promises " + std::to_string(count) + " " + kind + "s of " +
            std::to_string(item_bytes) + " bytes but the file holds " + std::to_string(data) +
            " bytes after the header";
    return false;
  }
  return true;
}

}  // namespace

bool write_file_atomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                           std::string& error) {
  return gpu_runtime::write_whole_file(
      path.string(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error);
}

bool write_idx_images(const std::filesystem::path& path, std::span<const std::uint8_t> pixels,
                      std::string& error) {
  if (pixels.size() % kImagePixels != 0) {
    error = path.string() + ": " + std::to_string(pixels.size()) + " pixel bytes are not whole 28x28 images";
    return false;
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(16 + pixels.size());
  put_word(bytes, kImageMagic);
  put_word(bytes, static_cast<std::uint32_t>(pixels.size() / kImagePixels));
  put_word(bytes, kImageSide);
  put_word(bytes, kImageSide);
  bytes.insert(bytes.end(), pixels.begin(), pixels.end());
  return write_file_atomically(path, bytes, error);
}

bool write_idx_labels(const std::filesystem::path& path, std::span<const std::uint8_t> labels,
                      std::string& error) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(8 + labels.size());
  put_word(bytes, kLabelMagic);
  put_word(bytes, static_cast<std::uint32_t>(labels.size()));
  bytes.insert(bytes.end(), labels.begin(), labels.end());
  return write_file_atomically(path, bytes, error);
}

bool parse_idx_images(const std::string& name, std::span<const std::uint8_t> bytes,
                      std::vector<std::uint8_t>& pixels, std::string& error) {
  if (bytes.size() >= 16 && get_word(bytes, 0) == kImageMagic &&
      (get_word(bytes, 8) != kImageSide || get_word(bytes, 12) != kImageSide)) {
    error = name + ": images are " + std::to_string(get_word(bytes, 8)) + "x" +
            std::to_string(get_word(bytes, 12)) + ", expected 28x28";
    return false;
  }
  if (!check_layout(name, bytes, kImageMagic, 4, kImagePixels, error)) return false;
  pixels.assign(bytes.begin() + 16, bytes.end());
  return true;
}

bool parse_idx_labels(const std::string& name, std::span<const std::uint8_t> bytes,
                      std::vector<std::uint8_t>& labels, std::string& error) {
  if (!check_layout(name, bytes, kLabelMagic, 2, 1, error)) return false;
  labels.assign(bytes.begin() + 8, bytes.end());
  return true;
}

bool read_idx_images(const std::filesystem::path& path, std::vector<std::uint8_t>& pixels,
                     std::string& error) {
  std::vector<std::uint8_t> bytes;
  return read_whole_file(path, bytes, error) && parse_idx_images(path.string(), bytes, pixels, error);
}

bool read_idx_labels(const std::filesystem::path& path, std::vector<std::uint8_t>& labels,
                     std::string& error) {
  std::vector<std::uint8_t> bytes;
  return read_whole_file(path, bytes, error) && parse_idx_labels(path.string(), bytes, labels, error);
}

bool check_digit_set(const std::string& images, const std::string& labels, const DigitSet& set,
                     std::string& error) {
  if (set.pixels.size() / kImagePixels != set.labels.size()) {
    error = images + " holds " + std::to_string(set.pixels.size() / kImagePixels) + " images but " + labels +
            " holds " + std::to_string(set.labels.size()) + " labels";
    return false;
  }
  for (std::size_t i = 0; i < set.labels.size(); ++i) {
    if (set.labels[i] > 9) {
      error = labels + ": label " + std::to_string(i) + " is " + std::to_string(set.labels[i]) + ", not a digit";
      return false;
    }
  }
  return true;
}

bool read_digit_set(const std::filesystem::path& images, const std::filesystem::path& labels,
                    DigitSet& set, std::string& error) {
  return read_idx_images(images, set.pixels, error) && read_idx_labels(labels, set.labels, error) &&
         check_digit_set(images.string(), labels.string(), set, error);
}

}  // namespace digits
