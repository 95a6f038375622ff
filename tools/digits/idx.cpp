// Reading and writing IDX digit files.
#include "digits/idx.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace digits {
namespace {

void put_word(std::vector<std::uint8_t>& out, std::uint32_t word) {
  out.push_back(static_cast<std::uint8_t>(word >> 24));
  out.push_back(static_cast<std::uint8_t>(word >> 16));
  out.push_back(static_cast<std::uint8_t>(word >> 8));
  out.push_back(static_cast<std::uint8_t>(word));
}

std::uint32_t get_word(const std::vector<std::uint8_t>& in, std::size_t at) {
  return (std::uint32_t{in[at]} << 24) | (std::uint32_t{in[at + 1]} << 16) |
         (std::uint32_t{in[at + 2]} << 8) | std::uint32_t{in[at + 3]};
}

bool read_whole_file(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes,
                     std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path.string();
    return false;
  }
  return true;
}

// Checks the magic number and that the data after a header of
// `header_words` words is exactly `item_bytes` per promised item.
bool check_layout(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes,
                  std::uint32_t magic, std::size_t header_words, std::size_t item_bytes,
                  std::size_t& count, std::string& error) {
  const std::string kind = magic == kImageMagic ? "image" : "label";
  if (bytes.size() < header_words * 4) {
    error = path.string() + ": too short for an IDX " + kind + " file header";
    return false;
  }
  if (get_word(bytes, 0) != magic) {
    error = path.string() + ": not an IDX " + kind + " file (magic number " +
            std::to_string(get_word(bytes, 0)) + ", expected " + std::to_string(magic) + ")";
    return false;
  }
  count = get_word(bytes, 4);
  const std::size_t data = bytes.size() - header_words * 4;
  if (data != count * item_bytes) {
    error = path.string() + ": the header promises " + std::to_string(count) + " " + kind +
            "s of " + std::to_string(item_bytes) + " bytes but the file holds " +
            std::to_string(data) + " bytes after the header";
    return false;
  }
  return true;
}

}  // namespace

bool write_file_atomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                           std::string& error) {
  std::filesystem::path temporary = path;
  temporary += ".partial";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = "cannot create " + temporary.string() + ": " + std::strerror(errno);
      return false;
    }
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      error = "cannot write " + temporary.string();
      std::filesystem::remove(temporary);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    error = "cannot rename " + temporary.string() + " to " + path.string() + ": " + ec.message();
    std::filesystem::remove(temporary, ec);
    return false;
  }
  return true;
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

bool read_idx_images(const std::filesystem::path& path, std::vector<std::uint8_t>& pixels,
                     std::string& error) {
  std::vector<std::uint8_t> bytes;
  if (!read_whole_file(path, bytes, error)) return false;
  if (bytes.size() >= 16 && get_word(bytes, 0) == kImageMagic &&
      (get_word(bytes, 8) != kImageSide || get_word(bytes, 12) != kImageSide)) {
    error = path.string() + ": images are " + std::to_string(get_word(bytes, 8)) + "x" +
            std::to_string(get_word(bytes, 12)) + ", expected 28x28";
    return false;
  }
  std::size_t count = 0;
  if (!check_layout(path, bytes, kImageMagic, 4, kImagePixels, count, error)) return false;
  pixels.assign(bytes.begin() + 16, bytes.end());
  return true;
}

bool read_idx_labels(const std::filesystem::path& path, std::vector<std::uint8_t>& labels,
                     std::string& error) {
  std::vector<std::uint8_t> bytes;
  if (!read_whole_file(path, bytes, error)) return false;
  std::size_t count = 0;
  if (!check_layout(path, bytes, kLabelMagic, 2, 1, count, error)) return false;
  labels.assign(bytes.begin() + 8, bytes.end());
  return true;
}

bool read_digit_set(const std::filesystem::path& images, const std::filesystem::path& labels,
                    DigitSet& set, std::string& error) {
  if (!read_idx_images(images, set.pixels, error) || !read_idx_labels(labels, set.labels, error))
    return false;
  if (set.pixels.size() / kImagePixels != set.labels.size()) {
    error = images.string() + " holds " + std::to_string(set.pixels.size() / kImagePixels) +
            " images but " + labels.string() + " holds " + std::to_string(set.labels.size()) +
            " labels";
    return false;
  }
  for (std::size_t i = 0; i < set.labels.size(); ++i) {
    if (set.labels[i] > 9) {
      error = labels.string() + ": label " + std::to_string(i) + " is " +
              std::to_string(set.labels[i]) + ", not a digit";
      return false;
    }
  }
  return true;
}

}  // namespace digits
