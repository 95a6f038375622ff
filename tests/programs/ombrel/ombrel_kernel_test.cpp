// The four layer kernels, launched through the runtime API in this process,
// against the plain host implementation of the network.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

#include "programs/ombrel/ombrel_kernel.cu"
#include "ombrel_data.h"
#include "ombrel_reference.h"

namespace {

namespace ref = ombrel_reference;

// Marks output elements no kernel thread has written.
constexpr uint32_t kUnwritten = 0x7fc0dead;
// Elements past each output array that must stay unwritten.
constexpr size_t kGuard = 64;

/// A device array of floats, freed with the object.
class DeviceFloats {
 public:
  explicit DeviceFloats(size_t count) : count_(count) {
    EXPECT_EQ(cudaMalloc(&data_, count * sizeof(float)), cudaSuccess);
  }
  explicit DeviceFloats(const std::vector<float>& values) : DeviceFloats(values.size()) { upload(values); }
  ~DeviceFloats() { cudaFree(data_); }
  DeviceFloats(const DeviceFloats&) = delete;
  DeviceFloats& operator=(const DeviceFloats&) = delete;

  void upload(const std::vector<float>& values) {
    ASSERT_EQ(values.size(), count_);
    ASSERT_EQ(cudaMemcpy(data_, values.data(), count_ * sizeof(float), cudaMemcpyHostToDevice), cudaSuccess);
  }
  std::vector<float> download() const {
    std::vector<float> out(count_);
    EXPECT_EQ(cudaMemcpy(out.data(), data_, count_ * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    return out;
  }
  float* get() const { return data_; }

 private:
  float* data_ = nullptr;
  size_t count_;
};

using Kernel = void (*)(float*, float*, float*);
using HostLayer = void (*)(std::span<const float>, std::span<const float>, std::span<float>);

struct Layer {
  const char* name;
  Kernel kernel;
  HostLayer host;
  size_t inputs_per_image, outputs_per_image, weights;
  unsigned blocks_per_image;  // the grid's x extent; its y extent is the image count
  dim3 block;
};

const Layer kLayers[4] = {
    {"first", executeFirstLayer, ref::first_layer, ref::kSlot, ref::kLayer2, ref::kWeightCounts[0], 6, dim3(13, 13)},
    {"second", executeSecondLayer, ref::second_layer, ref::kLayer2, ref::kLayer3, ref::kWeightCounts[1], 50, dim3(5, 5)},
    {"third", executeThirdLayer, ref::third_layer, ref::kLayer3, ref::kLayer4, ref::kWeightCounts[2], 100, dim3(1, 1)},
    {"fourth", executeFourthLayer, ref::fourth_layer, ref::kLayer4, ref::kScores, ref::kWeightCounts[3], 10, dim3(1, 1)},
};

/// Runs one layer's kernel over `images` images; returns its output array
/// followed by kGuard elements past its end.
std::vector<float> run_layer(const Layer& layer, const std::vector<float>& in, const std::vector<float>& weights,
                             unsigned images) {
  DeviceFloats d_in(in), d_weights(weights);
  DeviceFloats d_out(std::vector<float>(images * layer.outputs_per_image + kGuard, std::bit_cast<float>(kUnwritten)));
  EXPECT_EQ(launchKernel(layer.kernel, dim3(layer.blocks_per_image, images, 1), layer.block, d_in.get(),
                         d_weights.get(), d_out.get()),
            cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  return d_out.download();
}

std::vector<float> host_layer(const Layer& layer, const std::vector<float>& in, const std::vector<float>& weights,
                              unsigned images) {
  std::vector<float> out(images * layer.outputs_per_image);
  layer.host(in, weights, out);
  return out;
}

/// Relative difference, with exact agreement needed where the reference is 0.
bool close(float got, float want, float tolerance) {
  if (std::isnan(want)) return std::isnan(got);
  return std::fabs(got - want) <= tolerance * std::fabs(want);
}

class OmbrelLayer : public ::testing::TestWithParam<std::tuple<int, unsigned>> {};

TEST_P(OmbrelLayer, MatchesHostReferenceAndWritesEveryOutputOnce) {
  const auto [index, images] = GetParam();
  const Layer& layer = kLayers[index];
  const unsigned seed = 100 * index + images;
  // Inputs cover the range the previous layer's activation gives.
  const auto in = ombrel_data::random_floats(images * layer.inputs_per_image, -1.7159f, 1.7159f, seed);
  const auto weights = ombrel_data::random_floats(layer.weights, -0.3f, 0.3f, seed + 1);

  const auto got = run_layer(layer, in, weights, images);
  const auto want = host_layer(layer, in, weights, images);
  int mismatches = 0;
  for (size_t k = 0; k < want.size(); ++k) {
    if (!close(got[k], want[k], 1e-6f) && ++mismatches <= 5)
      ADD_FAILURE() << layer.name << " layer, element " << k << ": kernel " << got[k] << ", host " << want[k];
  }
  EXPECT_EQ(mismatches, 0);
  for (size_t k = want.size(); k < got.size(); ++k)
    ASSERT_EQ(std::bit_cast<uint32_t>(got[k]), kUnwritten) << "written past the output, element " << k;
}

INSTANTIATE_TEST_SUITE_P(LayersAndImageCounts, OmbrelLayer,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3), ::testing::Values(1u, 3u, 17u)));

// The activation of chosen sums, through the fourth layer, one image per sum:
// each score sums the image's first input, weighted 1, to a bias of -0, every
// other input being 0 weighted -0, so it is exactly the activation of that
// input, a zero's sign included.
std::vector<float> activations(const std::vector<float>& sums) {
  const unsigned images = static_cast<unsigned>(sums.size());
  std::vector<float> in(images * ref::kLayer4, 0.0f);
  for (size_t i = 0; i < sums.size(); ++i) in[ref::kLayer4 * i] = sums[i];
  std::vector<float> weights(ref::kWeightCounts[3], -0.0f);
  for (size_t b = 0; b < 10; ++b) weights[101 * b + 1] = 1.0f;
  const auto scores = run_layer(kLayers[3], in, weights, images);
  std::vector<float> out(images);
  for (size_t i = 0; i < images; ++i) out[i] = scores[ref::kScores * i];
  return out;
}

TEST(OmbrelActivation, SpecialCasesAreExact) {
  const float inf = std::numeric_limits<float>::infinity();
  const float y_at_055 = std::bit_cast<float>(0x3F533333u);  // 0.6666667 times this is exactly 0.55
  ASSERT_EQ(std::bit_cast<uint32_t>(y_at_055 * std::bit_cast<float>(0x3F2AAAABu)), 0x3F0CCCCDu);
  struct Case {
    float sum;
    uint32_t want;
  };
  const std::vector<Case> cases = {
      {0.0f, 0x00000000u},         {-0.0f, 0x80000000u},
      {132.0f, 0x3FDBA29Cu},       {-132.0f, 0xBFDBA29Cu},  // |y| just at 88
      {200.0f, 0x3FDBA29Cu},       {-200.0f, 0xBFDBA29Cu},   {1e30f, 0x3FDBA29Cu}, {-1e30f, 0xBFDBA29Cu},
      {inf, 0x3FDBA29Cu},          {-inf, 0xBFDBA29Cu},
      {y_at_055, std::bit_cast<uint32_t>(ref::activation(y_at_055))},
      {-y_at_055, std::bit_cast<uint32_t>(ref::activation(-y_at_055))},
  };
  std::vector<float> sums;
  for (const Case& c : cases) sums.push_back(c.sum);
  const auto got = activations(sums);
  for (size_t k = 0; k < cases.size(); ++k)
    EXPECT_EQ(std::bit_cast<uint32_t>(got[k]), cases[k].want) << "sum " << cases[k].sum << " gave " << got[k];
  // At |y| = 0.55 the exponential form agrees with tanh to the last bit.
  EXPECT_EQ(got[10], static_cast<float>(std::bit_cast<float>(0x3FDBA29Cu) * static_cast<float>(std::tanh(static_cast<double>(0.55f)))));
  EXPECT_TRUE(std::isnan(activations({std::numeric_limits<float>::quiet_NaN()})[0]));
}

TEST(OmbrelActivation, IsScaledTanhAcrossItsRange) {
  // Both branches and the switch between them, against tanh in double.
  std::vector<float> sums;
  for (float s = -140.0f; s <= 140.0f; s += 0.0625f) sums.push_back(s);
  for (float s = -2.0f; s <= 2.0f; s += 1.0f / 1024) sums.push_back(s);
  const auto got = activations(sums);
  for (size_t k = 0; k < sums.size(); ++k) {
    const double y = sums[k] * static_cast<double>(std::bit_cast<float>(0x3F2AAAABu));
    const float want = static_cast<float>(1.7159 * std::tanh(y));
    ASSERT_TRUE(close(got[k], want, 1e-6f)) << "sum " << sums[k] << ": " << got[k] << " vs " << want;
    ASSERT_EQ(got[k], ref::activation(sums[k])) << "sum " << sums[k];
  }
}

TEST(OmbrelSecondLayer, IgnoresTheLastFiveFloatsOfEachGroup) {
  const unsigned images = 2;
  const auto in = ombrel_data::random_floats(images * ref::kLayer2, -1.7f, 1.7f, 7);
  auto weights = ombrel_data::random_floats(ref::kWeightCounts[1], -0.3f, 0.3f, 8);
  const auto before = run_layer(kLayers[1], in, weights, images);
  for (size_t g = 0; g < 50; ++g)
    for (size_t k = 151; k < 156; ++k) weights[156 * g + k] = std::numeric_limits<float>::quiet_NaN();
  const auto after = run_layer(kLayers[1], in, weights, images);
  for (size_t k = 0; k < images * ref::kLayer3; ++k)
    ASSERT_EQ(std::bit_cast<uint32_t>(after[k]), std::bit_cast<uint32_t>(before[k])) << "element " << k;
}

TEST(OmbrelFirstLayer, OnlyTheLastRowAndColumnOfCellsReachTheSlotBorder) {
  const unsigned images = 2;
  auto slots = ombrel_data::slots(ombrel_data::random_images(images, 3));
  const auto weights = ombrel_data::random_floats(ref::kWeightCounts[0], 0.05f, 0.3f, 4);
  const auto before = run_layer(kLayers[0], slots, weights, images);
  for (size_t i = 0; i < images; ++i) {
    for (size_t k = 0; k < 29; ++k) {
      slots[i * ref::kSlot + 29 * 28 + k] = -0.5f;  // row 28
      slots[i * ref::kSlot + 29 * k + 28] = -0.5f;  // column 28
    }
  }
  const auto after = run_layer(kLayers[0], slots, weights, images);
  const auto want = host_layer(kLayers[0], slots, weights, images);
  for (size_t i = 0; i < images; ++i) {
    for (size_t map = 0; map < 6; ++map) {
      for (size_t y = 0; y < 13; ++y) {
        for (size_t x = 0; x < 13; ++x) {
          const size_t k = i * ref::kLayer2 + 169 * map + 13 * y + x;
          EXPECT_TRUE(close(after[k], want[k], 1e-6f)) << "element " << k;
          if (x == 12 || y == 12)
            EXPECT_NE(after[k], before[k]) << "image " << i << " map " << map << " cell " << x << "," << y;
          else
            EXPECT_EQ(std::bit_cast<uint32_t>(after[k]), std::bit_cast<uint32_t>(before[k]))
                << "image " << i << " map " << map << " cell " << x << "," << y;
        }
      }
    }
  }
}

}  // namespace
