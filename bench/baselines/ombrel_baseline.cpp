// ombrel_baseline: the four layers of ombrel's digit network as plain loops
// on one thread, over the same input files the program reads.
//
//   ombrel_baseline NUM     (in a directory holding data/t10k-images-idx3-ubyte
//                            and data/lw1.wei .. data/lw4.wei)
//
// Loads the first NUM images into 29x29 slots and the four weight arrays as
// the program does (untimed), then times the four layers over all images:
// each neuron is its bias plus one fused multiply-add per input in the
// kernels' order, through the same activation. The output arrays are
// allocated untouched beforehand, as the program's device buffers are, so
// their first writes fall inside the timed part in both. Prints time_ms and
// the digest of the NUM x 10 scores, and writes them to scores.bin (floats,
// host byte order) for the comparison.
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "baseline_common.h"
#include "ombrel_reference.h"  // defines: activation, the layer sizes

namespace {

constexpr const char* kName = "ombrel_baseline";
using ombrel_reference::activation;

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) bench::fail(kName, std::string("cannot open ") + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

/// The slots of the first `num` images: pixel byte p becomes p / -256 + 1, the
/// slot's last row and column 1.0 (from zero bytes); images missing from the
/// file are blank.
std::vector<float> read_slots(size_t num) {
  const std::string file = read_file("data/t10k-images-idx3-ubyte");
  std::vector<float> slots(num * 841);
  for (size_t i = 0; i < num; ++i) {
    for (size_t r = 0; r < 29; ++r) {
      for (size_t c = 0; c < 29; ++c) {
        const size_t at = 16 + 784 * i + 28 * r + c;
        const unsigned char p = (r < 28 && c < 28 && at < file.size()) ? file[at] : 0;
        slots[841 * i + 29 * r + c] = static_cast<float>(p) / -256.0f + 1.0f;
      }
    }
  }
  return slots;
}

std::vector<float> read_weights(int layer) {
  const std::string path = "data/lw" + std::to_string(layer + 1) + ".wei";
  const std::string bytes = read_file(path.c_str());
  const size_t count = ombrel_reference::kWeightCounts[layer];
  if (bytes.size() < count * sizeof(float))
    bench::fail(kName, path + " holds " + std::to_string(bytes.size()) + " bytes, fewer than its " +
                           std::to_string(count) + " weights");
  std::vector<float> weights(count);
  std::memcpy(weights.data(), bytes.data(), count * sizeof(float));
  return weights;
}

// Layer 1: 6 maps of 13x13 from each 29x29 slot, 5x5 windows at stride 2.
void first_layer(size_t num, const float* in, const float* w, float* out) {
  for (size_t i = 0; i < num; ++i) {
    for (int map = 0; map < 6; ++map) {
      const float* g = w + 26 * map;
      for (int y = 0; y < 13; ++y) {
        for (int x = 0; x < 13; ++x) {
          const float* window = in + 841 * i + 58 * y + 2 * x;
          float sum = g[0];
          for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 5; ++c) sum = std::fmaf(window[29 * r + c], g[1 + 5 * r + c], sum);
          out[1014 * i + 169 * map + 13 * y + x] = activation(sum);
        }
      }
    }
  }
}

// Layer 2: 50 maps of 5x5 over all six 13x13 maps; the six weights of one
// window cell lie side by side.
void second_layer(size_t num, const float* in, const float* w, float* out) {
  for (size_t i = 0; i < num; ++i) {
    for (int map = 0; map < 50; ++map) {
      const float* g = w + 156 * map;
      for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 5; ++x) {
          const float* window = in + 1014 * i + 26 * y + 2 * x;
          float sum = g[0];
          for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 5; ++c)
              for (int m = 0; m < 6; ++m)
                sum = std::fmaf(window[13 * r + c + 169 * m], g[1 + 6 * (5 * r + c) + m], sum);
          out[1250 * i + 25 * map + 5 * y + x] = activation(sum);
        }
      }
    }
  }
}

// Layers 3 and 4: fully connected, `inputs` values to `neurons` outputs.
void connected_layer(size_t num, int inputs, int neurons, const float* in, const float* w, float* out) {
  for (size_t i = 0; i < num; ++i) {
    const float* x = in + static_cast<size_t>(inputs) * i;
    for (int n = 0; n < neurons; ++n) {
      const float* g = w + static_cast<size_t>(inputs + 1) * n;
      float sum = g[0];
      for (int j = 0; j < inputs; ++j) sum = std::fmaf(x[j], g[1 + j], sum);
      out[static_cast<size_t>(neurons) * i + n] = activation(sum);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) bench::fail(kName, "usage: ombrel_baseline NUM");
  const size_t num = static_cast<size_t>(bench::parse_int(kName, argv[1], "NUM", 1, 65535));

  const std::vector<float> slots = read_slots(num);
  std::array<std::vector<float>, 4> w;
  for (int layer = 0; layer < 4; ++layer) w[layer] = read_weights(layer);

  auto layer2 = std::make_unique_for_overwrite<float[]>(num * 1014);
  auto layer3 = std::make_unique_for_overwrite<float[]>(num * 1250);
  auto layer4 = std::make_unique_for_overwrite<float[]>(num * 100);
  std::vector<float> scores(num * 10);

  const auto start = bench::Clock::now();
  first_layer(num, slots.data(), w[0].data(), layer2.get());
  second_layer(num, layer2.get(), w[1].data(), layer3.get());
  connected_layer(num, 1250, 100, layer3.get(), w[2].data(), layer4.get());
  connected_layer(num, 100, 10, layer4.get(), w[3].data(), scores.data());
  bench::clobber(scores.data());
  const double ms = bench::ms_between(start, bench::Clock::now());

  std::ofstream out("scores.bin", std::ios::binary);
  out.write(reinterpret_cast<const char*>(scores.data()),
            static_cast<std::streamsize>(scores.size() * sizeof(float)));
  if (!out.flush()) bench::fail(kName, "cannot write scores.bin");
  bench::report("time_ms", ms);
  bench::report("digest", bench::digest_of(scores));
  return 0;
}
