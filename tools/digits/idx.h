// IDX files of 28x28 digit images and their labels: big-endian 32-bit header
// words (magic number, item count, and for images the row and column counts)
// followed by one unsigned byte per pixel or label.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace digits {

inline constexpr std::uint32_t kImageMagic = 2051;
inline constexpr std::uint32_t kLabelMagic = 2049;
inline constexpr int kImageSide = 28;
inline constexpr std::size_t kImagePixels = 784;

/// Images (784 bytes each, row-major, 0 background and 255 full ink) and
/// their labels, image i at pixels[784 i].
struct DigitSet {
  std::vector<std::uint8_t> pixels;
  std::vector<std::uint8_t> labels;

  std::size_t size() const { return labels.size(); }
  std::span<const std::uint8_t, kImagePixels> image(std::size_t i) const {
    return std::span<const std::uint8_t, kImagePixels>(pixels.data() + i * kImagePixels, kImagePixels);
  }
};

/// Writes pixels.size() / 784 images of 28x28. The file is written under a
/// temporary name and renamed into place, so a failure never leaves a
/// half-written file behind. Returns false with a message naming the file.
bool write_idx_images(const std::filesystem::path& path, std::span<const std::uint8_t> pixels,
                      std::string& error);
bool write_idx_labels(const std::filesystem::path& path, std::span<const std::uint8_t> labels,
                      std::string& error);

/// Reads a whole image file; it must hold 28x28 images and exactly as many
/// bytes as its header promises. Returns false with a message naming the
/// file, also when it cannot be read at all (a directory, an I/O error).
bool read_idx_images(const std::filesystem::path& path, std::vector<std::uint8_t>& pixels,
                     std::string& error);
bool read_idx_labels(const std::filesystem::path& path, std::vector<std::uint8_t>& labels,
                     std::string& error);

/// The checks of read_idx_images and read_idx_labels on a file's bytes;
/// messages name the file `name`.
bool parse_idx_images(const std::string& name, std::span<const std::uint8_t> bytes,
                      std::vector<std::uint8_t>& pixels, std::string& error);
bool parse_idx_labels(const std::string& name, std::span<const std::uint8_t> bytes,
                      std::vector<std::uint8_t>& labels, std::string& error);

/// Reads an image file and its label file, which must agree in count and
/// hold labels 0 to 9 only.
bool read_digit_set(const std::filesystem::path& images, const std::filesystem::path& labels,
                    DigitSet& set, std::string& error);

/// The checks read_digit_set makes of the two files together.
bool check_digit_set(const std::string& images, const std::string& labels, const DigitSet& set,
                     std::string& error);

/// Writes a whole file under a temporary name in its folder and renames it
/// into place (gpu_runtime/file_io.h).
bool write_file_atomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                           std::string& error);

}  // namespace digits
