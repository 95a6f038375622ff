#include "ombrel_data.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace ombrel_data {

namespace fs = std::filesystem;

std::vector<Image> random_images(size_t count, unsigned seed) {
  std::mt19937 gen(seed);
  constexpr int kSteps[8][2] = {{0, 1}, {1, 1}, {1, 0}, {1, -1}, {0, -1}, {-1, -1}, {-1, 0}, {-1, 1}};
  std::uniform_int_distribution<int> coord(2, 25), strokes(2, 5), length(4, 14), dir(0, 7);
  std::uniform_int_distribution<int> ink(96, 255);
  std::vector<Image> images(count);
  for (Image& image : images) {
    image.fill(0);
    for (int s = strokes(gen); s > 0; --s) {
      int r = coord(gen), c = coord(gen);
      const int d = dir(gen), dr = kSteps[d][0], dc = kSteps[d][1];
      for (int n = length(gen); n > 0 && r >= 0 && r < 28 && c >= 0 && c < 28; --n, r += dr, c += dc)
        image[28 * r + c] = static_cast<uint8_t>(ink(gen));
    }
  }
  return images;
}

std::vector<float> random_floats(size_t count, float lo, float hi, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> out(count);
  for (float& v : out) v = dist(gen);
  return out;
}

ombrel_reference::Weights random_weights(unsigned seed) {
  // Inputs per neuron of each layer, bias included.
  constexpr std::array<size_t, 4> fan_in = {26, 151, 1251, 101};
  ombrel_reference::Weights w;
  for (size_t l = 0; l < 4; ++l) {
    const float scale = 2.0f / std::sqrt(static_cast<float>(fan_in[l]));
    w.layer[l] = random_floats(ombrel_reference::kWeightCounts[l], -scale, scale, seed + static_cast<unsigned>(l));
  }
  return w;
}

void center_last_layer(ombrel_reference::Weights& weights, std::span<const float> slots) {
  namespace ref = ombrel_reference;
  const size_t images = slots.size() / ref::kSlot;
  std::vector<float> l2(images * ref::kLayer2), l3(images * ref::kLayer3), l4(images * ref::kLayer4);
  ref::first_layer(slots, weights.layer[0], l2);
  ref::second_layer(l2, weights.layer[1], l3);
  ref::third_layer(l3, weights.layer[2], l4);
  auto& last = weights.layer[3];
  for (size_t d = 0; d < ref::kScores; ++d) {
    double total = 0;
    for (size_t i = 0; i < images; ++i)
      for (size_t j = 0; j < ref::kLayer4; ++j) total += double{l4[i * ref::kLayer4 + j]} * last[101 * d + 1 + j];
    last[101 * d] = static_cast<float>(-total / static_cast<double>(images));
  }
}

namespace {

void put_big_endian(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xff));
}

void write_bytes(const fs::path& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

std::string idx_file(std::span<const Image> images, uint32_t item_count) {
  std::string out;
  for (uint32_t word : {2051u, item_count, 28u, 28u}) put_big_endian(out, word);
  for (const Image& image : images) out.append(reinterpret_cast<const char*>(image.data()), image.size());
  return out;
}

std::string float_bytes(std::span<const float> values) {
  std::string out(values.size() * sizeof(float), '\0');
  std::memcpy(out.data(), values.data(), out.size());
  return out;
}

std::string weight_file(int layer) { return "data/lw" + std::to_string(layer + 1) + ".wei"; }

void write_inputs(const fs::path& dir, std::span<const Image> images, const ombrel_reference::Weights& weights) {
  fs::create_directories(dir / "data");
  write_bytes(dir / "data/t10k-images-idx3-ubyte", idx_file(images, static_cast<uint32_t>(images.size())));
  for (int l = 0; l < 4; ++l) write_bytes(dir / weight_file(l), float_bytes(weights.layer[l]));
}

std::vector<float> slots(std::span<const Image> images) {
  std::vector<float> out(images.size() * ombrel_reference::kSlot, 1.0f);
  for (size_t i = 0; i < images.size(); ++i)
    for (size_t r = 0; r < 28; ++r)
      for (size_t c = 0; c < 28; ++c)
        out[i * ombrel_reference::kSlot + 29 * r + c] = static_cast<float>(256 - images[i][28 * r + c]) / 256.0f;
  return out;
}

}  // namespace ombrel_data
