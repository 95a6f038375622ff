#include "ombrel_reference.h"

#include <bit>
#include <cassert>
#include <cmath>
#include <cstdint>

namespace ombrel_reference {

namespace {

float bits(uint32_t pattern) { return std::bit_cast<float>(pattern); }

}  // namespace

float activation(float sum) {
  const float y = sum * bits(0x3F2AAAAB);
  const float a = std::fabs(y);
  float t;
  if (a >= bits(0x3F0CCCCD)) {
    const float u = a + a;
    const float n = std::trunc(u * bits(0x3FB8AA3B));
    const float e1 = std::exp2(n);
    float r = std::fma(bits(0xBF317200), n, u);
    r = std::fma(bits(0xB5BFBE8E), n, r);
    const float e2 = std::exp2(r * bits(0x3FB8AA3B));
    const float e = e1 * e2;
    t = 1.0f - 2.0f / (e + 1.0f);
    if (a >= bits(0x42B00000)) t = 1.0f;
    t = std::copysign(t, y);
  } else {
    const float s = y * y;
    float q = bits(0x3C86A81B) * s + bits(0xBD57BE66);
    q = q * s + bits(0x3E08677B);
    q = q * s + bits(0xBEAAAA29);
    t = (s * q) * y + y;
    if (y == 0.0f) t = y + y;
  }
  return t * bits(0x3FDBA29C);
}

void first_layer(std::span<const float> slots, std::span<const float> weights, std::span<float> out) {
  const size_t images = out.size() / kLayer2;
  assert(slots.size() >= images * kSlot && weights.size() == kWeightCounts[0]);
  for (size_t i = 0; i < images; ++i) {
    const float* slot = &slots[i * kSlot];
    for (size_t map = 0; map < 6; ++map) {
      const float* w = &weights[26 * map];
      for (size_t y = 0; y < 13; ++y) {
        for (size_t x = 0; x < 13; ++x) {
          float sum = w[0];
          for (size_t r = 0; r < 5; ++r)
            for (size_t c = 0; c < 5; ++c)
              sum = std::fma(slot[29 * (2 * y + r) + (2 * x + c)], w[1 + 5 * r + c], sum);
          out[i * kLayer2 + 169 * map + 13 * y + x] = activation(sum);
        }
      }
    }
  }
}

void second_layer(std::span<const float> maps, std::span<const float> weights, std::span<float> out) {
  const size_t images = out.size() / kLayer3;
  assert(maps.size() >= images * kLayer2 && weights.size() == kWeightCounts[1]);
  for (size_t i = 0; i < images; ++i) {
    const float* in = &maps[i * kLayer2];
    for (size_t map = 0; map < 50; ++map) {
      const float* w = &weights[156 * map];
      for (size_t y = 0; y < 5; ++y) {
        for (size_t x = 0; x < 5; ++x) {
          float sum = w[0];
          for (size_t r = 0; r < 5; ++r)
            for (size_t c = 0; c < 5; ++c)
              for (size_t m = 0; m < 6; ++m)
                sum = std::fma(in[169 * m + 13 * (2 * y + r) + (2 * x + c)], w[1 + 6 * (5 * r + c) + m], sum);
          out[i * kLayer3 + 25 * map + 5 * y + x] = activation(sum);
        }
      }
    }
  }
}

namespace {

// A fully connected layer: neuron n of each image is the activation of bias
// plus the weighted sum of all the image's inputs, in input order.
void fully_connected(std::span<const float> in, size_t inputs, std::span<const float> weights,
                     std::span<float> out, size_t neurons) {
  const size_t images = out.size() / neurons;
  assert(in.size() >= images * inputs && weights.size() == neurons * (inputs + 1));
  for (size_t i = 0; i < images; ++i) {
    for (size_t n = 0; n < neurons; ++n) {
      const float* w = &weights[n * (inputs + 1)];
      float sum = w[0];
      for (size_t j = 0; j < inputs; ++j) sum = std::fma(in[i * inputs + j], w[1 + j], sum);
      out[i * neurons + n] = activation(sum);
    }
  }
}

}  // namespace

void third_layer(std::span<const float> maps, std::span<const float> weights, std::span<float> out) {
  fully_connected(maps, kLayer3, weights, out, kLayer4);
}

void fourth_layer(std::span<const float> neurons, std::span<const float> weights, std::span<float> out) {
  fully_connected(neurons, kLayer4, weights, out, kScores);
}

std::vector<float> scores(std::span<const float> slots, const Weights& weights) {
  const size_t images = slots.size() / kSlot;
  std::vector<float> l2(images * kLayer2), l3(images * kLayer3), l4(images * kLayer4), l5(images * kScores);
  first_layer(slots, weights.layer[0], l2);
  second_layer(l2, weights.layer[1], l3);
  third_layer(l3, weights.layer[2], l4);
  fourth_layer(l4, weights.layer[3], l5);
  return l5;
}

int winning_digit(std::span<const float> ten) {
  int best = 0;
  for (int d = 1; d < 10; ++d)
    if (ten[d] > ten[best]) best = d;
  return best;
}

}  // namespace ombrel_reference
