// Forward and backward passes of the digit network, and its weight files.
#include "train-ombrel/network.h"

#include <bit>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <cstdio>

#include "gpu_runtime/file_io.h"

namespace ombrel_net {
namespace {

constexpr float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

constexpr float kInputScale = from_bits(0x3F2AAAAB);   // 0.6666667
constexpr float kOutputScale = from_bits(0x3FDBA29C);  // 1.7159
constexpr float kLog2E = from_bits(0x3FB8AA3B);        // 1.44269502

// Sum of a[i] * b[i] over eight partial sums, so that the compiler can keep
// them in one vector register.
float dot(const float* a, const float* b, int n) {
  float partial[8] = {};
  int i = 0;
  for (; i + 8 <= n; i += 8)
    for (int l = 0; l < 8; ++l) partial[l] += a[i + l] * b[i + l];
  float sum = 0.0f;
  for (; i < n; ++i) sum += a[i] * b[i];
  for (float p : partial) sum += p;
  return sum;
}

}  // namespace

bool parse_floats(const std::string& name, std::string_view bytes, std::vector<float>& values, std::string& error) {
  const std::size_t want = values.size() * sizeof(float);
  if (bytes.size() < want) {
    error = name + " holds " + std::to_string(bytes.size()) + " bytes, expected " + std::to_string(want);
    return false;
  }
  std::memcpy(values.data(), bytes.data(), want);
  return true;
}

namespace {

bool read_floats(const std::filesystem::path& path, std::vector<float>& values, std::string& error) {
  std::string bytes;
  return gpu_runtime::read_whole_file(path.string(), bytes, error) &&
         parse_floats(path.string(), bytes, values, error);
}

}  // namespace

float activation(float sum) {
  const float y = sum * kInputScale;
  const float a = std::fabs(y);
  float t;
  if (a >= from_bits(0x3F0CCCCD)) {  // 0.55
    // tanh(a) = 1 - 2 / (e^(2a) + 1), with e^u = 2^n * 2^(r log2 e) and
    // r = u - n ln 2 taken in two parts for accuracy.
    const float u = a + a;
    const float n = std::trunc(u * kLog2E);
    const float e1 = std::exp2f(n);
    float r = std::fmaf(from_bits(0xBF317200), n, u);
    r = std::fmaf(from_bits(0xB5BFBE8E), n, r);
    const float e2 = std::exp2f(r * kLog2E);
    const float e = e1 * e2;
    t = 1.0f - 2.0f / (e + 1.0f);
    if (a >= from_bits(0x42B00000)) t = 1.0f;  // 88: e^u overflows
    t = std::copysign(t, y);
  } else {
    // Odd polynomial for small arguments (and NaN, which it passes through).
    const float s = y * y;
    float q = std::fmaf(from_bits(0x3C86A81B), s, from_bits(0xBD57BE66));
    q = std::fmaf(q, s, from_bits(0x3E08677B));
    q = std::fmaf(q, s, from_bits(0xBEAAAA29));
    t = std::fmaf(s * q, y, y);
    if (y == 0.0f) t = y + y;  // keeps the sign of zero
  }
  return t * kOutputScale;
}

float activation_slope(float out) {
  const float t = out / kOutputScale;
  return kOutputScale * kInputScale * (1.0f - t * t);
}

void encode_slot(std::span<const std::uint8_t, 784> pixels, std::span<float, kSlotSize> slot) {
  for (int row = 0; row < kSlotSide; ++row) {
    for (int col = 0; col < kSlotSide; ++col) {
      const std::uint8_t p = row < kImageSide && col < kImageSide ? pixels[kImageSide * row + col] : 0;
      slot[kSlotSide * row + col] = static_cast<float>(p) / -256.0f + 1.0f;
    }
  }
}

bool read_weights(const std::filesystem::path& folder, Weights& weights, std::string& error) {
  return read_floats(folder / "lw1.wei", weights.layer1, error) &&
         read_floats(folder / "lw2.wei", weights.layer2, error) &&
         read_floats(folder / "lw3.wei", weights.layer3, error) &&
         read_floats(folder / "lw4.wei", weights.layer4, error);
}

bool write_weights(const std::filesystem::path& folder, const Weights& weights, std::string& error) {
  // All four files are written in full beside the old ones before any
  // replaces its old version, so a failed write leaves the old set whole.
  const std::filesystem::path paths[] = {folder / "lw1.wei", folder / "lw2.wei", folder / "lw3.wei", folder / "lw4.wei"};
  const std::vector<float>* layers[] = {&weights.layer1, &weights.layer2, &weights.layer3, &weights.layer4};
  OutputFile files[4];
  int opened = 0;
  for (; opened < 4; ++opened) {
    if (!outputOpen(&files[opened], paths[opened].c_str(), "wb")) {
      error = "cannot create " + paths[opened].string() + ": " + std::strerror(errno);
      break;
    }
    const std::vector<float>& values = *layers[opened];
    std::fwrite(values.data(), sizeof(float), values.size(), files[opened].stream);
    if (std::fflush(files[opened].stream) != 0 || std::ferror(files[opened].stream)) {
      error = "cannot write " + paths[opened].string() + ": " + std::strerror(errno);
      outputDiscard(&files[opened]);
      break;
    }
  }
  if (opened < 4) {
    for (int l = 0; l < opened; ++l) outputDiscard(&files[l]);
    return false;
  }
  for (int l = 0; l < 4; ++l) {
    if (const int failed = outputCommit(&files[l])) {
      error = "cannot write " + paths[l].string() + ": " + std::strerror(failed);
      for (int rest = l + 1; rest < 4; ++rest) outputDiscard(&files[rest]);
      return false;
    }
  }
  return true;
}

std::vector<float> to_parameters(const Weights& weights) {
  std::vector<float> p(kParameters);
  std::copy(weights.layer1.begin(), weights.layer1.end(), p.begin() + kOffset1);
  std::copy(weights.layer2.begin(), weights.layer2.end(), p.begin() + kOffset2);
  for (int n = 0; n < kNeurons3; ++n)
    for (int r = 0; r < kGroup3; ++r) p[kOffset3 + r * kNeurons3 + n] = weights.layer3[kGroup3 * n + r];
  std::copy(weights.layer4.begin(), weights.layer4.end(), p.begin() + kOffset4);
  return p;
}

Weights to_weights(std::span<const float> p) {
  Weights weights;
  std::copy(p.begin() + kOffset1, p.begin() + kOffset2, weights.layer1.begin());
  std::copy(p.begin() + kOffset2, p.begin() + kOffset3, weights.layer2.begin());
  for (int n = 0; n < kNeurons3; ++n)
    for (int r = 0; r < kGroup3; ++r) weights.layer3[kGroup3 * n + r] = p[kOffset3 + r * kNeurons3 + n];
  std::copy(p.begin() + kOffset4, p.begin() + kParameters, weights.layer4.begin());
  return weights;
}

// Each output's sum starts at its bias and adds input x weight with one fmaf
// per step, inputs in the same order as ombrel's kernels. The loops run
// across outputs only so that several independent sums share a vector
// register; no sum is split or reordered.
void forward(std::span<const float> parameters, std::span<const float, kSlotSize> slot, Pass& pass) {
  const float* w1 = parameters.data() + kOffset1;
  const float* w2 = parameters.data() + kOffset2;
  const float* w3 = parameters.data() + kOffset3;
  const float* w4 = parameters.data() + kOffset4;
  constexpr int kPad1 = Pass::kCells1Padded, kPad2 = Pass::kCells2Padded;

  // Layer 1: cell (x, y) of a map looks at the window at row 2y, column 2x.
  for (int k = 0; k < 25; ++k)
    for (int y = 0; y < kSide1; ++y)
      for (int x = 0; x < kSide1; ++x)
        pass.patches1[kPad1 * k + kSide1 * y + x] = slot[58 * y + 2 * x + kWindow1[k]];
  for (int b = 0; b < kMaps1; ++b) {
    alignas(64) float sum[kPad1];
    for (float& s : sum) s = w1[kGroup1 * b];
    for (int k = 0; k < 25; ++k) {
      const float w = w1[kGroup1 * b + 1 + k];
      const float* in = &pass.patches1[kPad1 * k];
      for (int c = 0; c < kPad1; ++c) sum[c] = std::fmaf(in[c], w, sum[c]);
    }
    for (int c = 0; c < kCells1; ++c) pass.neurons1[kCells1 * b + c] = activation(sum[c]);
  }

  // Layer 2: window cell k of every one of the six maps, map by map.
  for (int k = 0; k < 25; ++k)
    for (int m = 0; m < kMaps1; ++m)
      for (int y = 0; y < kSide2; ++y)
        for (int x = 0; x < kSide2; ++x) {
          const float v = pass.neurons1[26 * y + 2 * x + kWindow2[k] + kCells1 * m];
          pass.patches2[kPad2 * (6 * k + m) + kSide2 * y + x] = v;
          pass.patches2_by_cell[kInputs2 * (kSide2 * y + x) + 6 * k + m] = v;
        }
  for (int b = 0; b < kMaps2; ++b) {
    alignas(64) float sum[kPad2];
    for (float& s : sum) s = w2[kGroup2 * b];
    for (int j = 0; j < kInputs2; ++j) {
      const float w = w2[kGroup2 * b + 1 + j];
      const float* in = &pass.patches2[kPad2 * j];
      for (int c = 0; c < kPad2; ++c) sum[c] = std::fmaf(in[c], w, sum[c]);
    }
    for (int c = 0; c < kCells2; ++c) pass.neurons2[kCells2 * b + c] = activation(sum[c]);
  }

  // Layer 3, from its transposed weights.
  alignas(64) float sum3[kNeurons3];
  for (int n = 0; n < kNeurons3; ++n) sum3[n] = w3[n];
  for (int j = 0; j < kNeurons2; ++j) {
    const float x = pass.neurons2[j];
    const float* w = w3 + kNeurons3 * (1 + j);
    for (int n = 0; n < kNeurons3; ++n) sum3[n] = std::fmaf(x, w[n], sum3[n]);
  }
  for (int n = 0; n < kNeurons3; ++n) pass.neurons3[n] = activation(sum3[n]);

  // Layer 4.
  for (int d = 0; d < kOutputs; ++d) {
    float sum = w4[kGroup4 * d];
    for (int j = 0; j < kNeurons3; ++j) sum = std::fmaf(pass.neurons3[j], w4[kGroup4 * d + 1 + j], sum);
    pass.outputs[d] = activation(sum);
  }
}

float backward(std::span<const float> parameters, int label, Pass& pass, std::span<float> gradients) {
  const float* w2 = parameters.data() + kOffset2;
  const float* w3 = parameters.data() + kOffset3;
  const float* w4 = parameters.data() + kOffset4;
  float* g1 = gradients.data() + kOffset1;
  float* g2 = gradients.data() + kOffset2;
  float* g3 = gradients.data() + kOffset3;
  float* g4 = gradients.data() + kOffset4;

  float value = 0.0f;
  for (int d = 0; d < kOutputs; ++d) {
    const float error = pass.outputs[d] - (d == label ? 1.0f : -1.0f);
    value += 0.5f * error * error;
    pass.delta4[d] = error * activation_slope(pass.outputs[d]);
  }

  // Layer 4 and the gradient at layer 3's outputs.
  for (int d = 0; d < kOutputs; ++d) {
    const float delta = pass.delta4[d];
    g4[kGroup4 * d] += delta;
    for (int j = 0; j < kNeurons3; ++j) g4[kGroup4 * d + 1 + j] += delta * pass.neurons3[j];
  }
  for (int j = 0; j < kNeurons3; ++j) {
    float sum = 0.0f;
    for (int d = 0; d < kOutputs; ++d) sum += pass.delta4[d] * w4[kGroup4 * d + 1 + j];
    pass.delta3[j] = sum * activation_slope(pass.neurons3[j]);
  }

  // Layer 3 (transposed rows: one per input) and the gradient at layer 2's outputs.
  for (int n = 0; n < kNeurons3; ++n) g3[n] += pass.delta3[n];
  for (int j = 0; j < kNeurons2; ++j) {
    const float x = pass.neurons2[j];
    float* g = g3 + kNeurons3 * (1 + j);
    for (int n = 0; n < kNeurons3; ++n) g[n] += x * pass.delta3[n];
  }
  for (int j = 0; j < kNeurons2; ++j)
    pass.delta2[j] = dot(w3 + kNeurons3 * (1 + j), pass.delta3.data(), kNeurons3) * activation_slope(pass.neurons2[j]);

  // Layer 2: weights are shared by the 25 cells of a map, so their gradients
  // sum over the cells; the patch gradients go back to the layer-1 cells
  // each window read.
  pass.patch_gradients2.fill(0.0f);
  for (int b = 0; b < kMaps2; ++b) {
    const float* w = w2 + kGroup2 * b + 1;
    float* g = g2 + kGroup2 * b;
    for (int c = 0; c < kCells2; ++c) {
      const float delta = pass.delta2[kCells2 * b + c];
      g[0] += delta;
      const float* in = &pass.patches2_by_cell[kInputs2 * c];
      float* pg = &pass.patch_gradients2[kInputs2 * c];
      for (int j = 0; j < kInputs2; ++j) {
        g[1 + j] += delta * in[j];
        pg[j] += delta * w[j];
      }
    }
  }
  pass.delta1.fill(0.0f);
  for (int y = 0; y < kSide2; ++y)
    for (int x = 0; x < kSide2; ++x)
      for (int k = 0; k < 25; ++k)
        for (int m = 0; m < kMaps1; ++m)
          pass.delta1[26 * y + 2 * x + kWindow2[k] + kCells1 * m] +=
              pass.patch_gradients2[kInputs2 * (kSide2 * y + x) + 6 * k + m];
  for (int i = 0; i < kNeurons1; ++i) pass.delta1[i] *= activation_slope(pass.neurons1[i]);

  // Layer 1: shared by the 169 cells of a map.
  for (int b = 0; b < kMaps1; ++b) {
    const float* delta = &pass.delta1[kCells1 * b];
    float bias = 0.0f;
    for (int c = 0; c < kCells1; ++c) bias += delta[c];
    g1[kGroup1 * b] += bias;
    for (int k = 0; k < 25; ++k) g1[kGroup1 * b + 1 + k] += dot(delta, &pass.patches1[Pass::kCells1Padded * k], kCells1);
  }
  return value;
}

int winning_digit(std::span<const float, kOutputs> outputs) {
  int best = 0;
  for (int d = 1; d < kOutputs; ++d)
    if (outputs[d] > outputs[best]) best = d;
  return best;
}

}  // namespace ombrel_net
