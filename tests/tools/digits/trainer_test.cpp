// The trainer's network: activation, input encoding, back-propagation
// against finite differences, and runs that repeat exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <numeric>

#include "digit_fixtures.h"
#include "train-ombrel/network.h"
#include "train-ombrel/trainer.h"

namespace {

using namespace ombrel_net;

TEST(TrainerNetwork, ActivationIsScaledTanh) {
  for (float sum = -12.0f; sum <= 12.0f; sum += 0.01f) {
    const double expected = 1.7159 * std::tanh(0.6666667 * sum);
    EXPECT_NEAR(activation(sum), expected, 4e-7 * 1.7159) << sum;
  }
  EXPECT_EQ(std::bit_cast<std::uint32_t>(activation(0.0f)), 0u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(activation(-0.0f)), 0x80000000u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(activation(200.0f)), 0x3FDBA29Cu);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(activation(-1e30f)), 0xBFDBA29Cu);
  // The slope is the derivative of 1.7159 tanh(0.6666667 x).
  for (float sum : {-3.0f, -0.5f, 0.0f, 0.2f, 1.0f, 4.0f}) {
    const double h = 1e-3;
    const double numeric = 1.7159 * (std::tanh(0.6666667 * (sum + h)) - std::tanh(0.6666667 * (sum - h))) / (2 * h);
    EXPECT_NEAR(activation_slope(activation(sum)), numeric, 1e-5) << sum;
  }
}

TEST(TrainerNetwork, SlotHoldsPixelsAndBackgroundBorder) {
  std::vector<std::uint8_t> pixels(784, 0);
  pixels[0] = 128;
  pixels[27] = 255;
  pixels[28 * 27 + 27] = 1;
  std::array<float, kSlotSize> slot{};
  encode_slot(std::span<const std::uint8_t, 784>(pixels.data(), 784), slot);
  EXPECT_EQ(slot[0], 0.5f);
  EXPECT_EQ(slot[27], 0.00390625f);
  EXPECT_EQ(slot[29 * 27 + 27], 1.0f - 1.0f / 256.0f);
  EXPECT_EQ(slot[1], 1.0f);
  for (int i = 0; i < 29; ++i) {
    EXPECT_EQ(slot[29 * i + 28], 1.0f);
    EXPECT_EQ(slot[29 * 28 + i], 1.0f);
  }
}

TEST(TrainerNetwork, WeightFilesKeepTheirLayout) {
  // Parameters hold layer 3 transposed; the files must not.
  Weights weights;
  for (std::size_t i = 0; i < weights.layer3.size(); ++i) weights.layer3[i] = static_cast<float>(i);
  weights.layer1[25] = 1.5f;
  weights.layer4[1009] = -2.0f;
  const std::vector<float> parameters = to_parameters(weights);
  EXPECT_EQ(parameters[kOffset3 + 1 * kNeurons3 + 0], 1.0f);     // neuron 0, input 0
  EXPECT_EQ(parameters[kOffset3 + 0 * kNeurons3 + 1], 1251.0f);  // neuron 1, bias

  test_helpers::TempDir dir;
  std::string error;
  ASSERT_TRUE(write_weights(dir.path(), to_weights(parameters), error)) << error;
  EXPECT_EQ(std::filesystem::file_size(dir / "lw1.wei"), 624u);
  EXPECT_EQ(std::filesystem::file_size(dir / "lw2.wei"), 31200u);
  EXPECT_EQ(std::filesystem::file_size(dir / "lw3.wei"), 500400u);
  EXPECT_EQ(std::filesystem::file_size(dir / "lw4.wei"), 4040u);
  Weights back;
  ASSERT_TRUE(read_weights(dir.path(), back, error)) << error;
  EXPECT_EQ(back.layer1, weights.layer1);
  EXPECT_EQ(back.layer3, weights.layer3);
  EXPECT_EQ(back.layer4, weights.layer4);

  std::filesystem::resize_file(dir / "lw3.wei", 500399);
  EXPECT_FALSE(read_weights(dir.path(), back, error));
  EXPECT_EQ(error, (dir / "lw3.wei").string() + " holds 500399 bytes, expected 500400");

  // A set that cannot be written in full replaces none of the old files and
  // leaves no temporary file.
  const std::string old_layer1 = test_helpers::read_file(dir / "lw1.wei");
  std::filesystem::remove(dir / "lw3.wei");
  std::filesystem::create_directory(dir / "lw3.wei");
  EXPECT_FALSE(write_weights(dir.path(), Weights{}, error));
  EXPECT_EQ(error, "cannot create " + (dir / "lw3.wei").string() + ": Is a directory");
  EXPECT_EQ(test_helpers::read_file(dir / "lw1.wei"), old_layer1);
  EXPECT_EQ(test_helpers::folder_entries(dir.path()),
            (std::vector<std::string>{"lw1.wei", "lw2.wei", "lw3.wei", "lw4.wei"}));
}

struct Layer {
  const char* name;
  std::size_t begin, end;
};
void PrintTo(const Layer& layer, std::ostream* os) { *os << layer.name; }

class TrainerGradient : public testing::TestWithParam<Layer> {};

// Back-propagation against central differences of the loss, for the weights
// of each layer that matter most to it and for a spread of others.
TEST_P(TrainerGradient, MatchesFiniteDifferences) {
  const Layer layer = GetParam();
  std::vector<float> parameters = initial_parameters(3);
  digits::Random random(11);
  const std::vector<std::uint8_t> image = digits_test::stroke_image(random);
  std::array<float, kSlotSize> slot{};
  encode_slot(std::span<const std::uint8_t, 784>(image.data(), 784), slot);
  const int label = 4;

  auto pass = std::make_unique<Pass>();
  std::vector<float> gradients(kParameters, 0.0f);
  forward(parameters, slot, *pass);
  auto loss_of_outputs = [&] {
    double sum = 0;
    for (int d = 0; d < kOutputs; ++d) {
      const double e = pass->outputs[d] - (d == label ? 1.0 : -1.0);
      sum += 0.5 * e * e;
    }
    return sum;
  };
  EXPECT_NEAR(backward(parameters, label, *pass, gradients), loss_of_outputs(), 1e-5);

  auto loss = [&] {
    forward(parameters, slot, *pass);
    return loss_of_outputs();
  };

  std::vector<std::size_t> order(layer.end - layer.begin);
  std::iota(order.begin(), order.end(), layer.begin);
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return std::fabs(gradients[a]) > std::fabs(gradients[b]); });
  std::vector<std::size_t> checked(order.begin(), order.begin() + 12);
  for (std::size_t i = 12; i < order.size() && checked.size() < 24; i += order.size() / 12) checked.push_back(order[i]);

  ASSERT_GT(std::fabs(gradients[checked[0]]), 1e-3) << "no gradient reaches " << layer.name;
  for (std::size_t p : checked) {
    const float original = parameters[p];
    const float step = 2e-3f * std::max(1.0f, std::fabs(original));
    parameters[p] = original + step;
    const double up = loss();
    const float up_value = parameters[p];
    parameters[p] = original - step;
    const double down = loss();
    const float down_value = parameters[p];
    parameters[p] = original;
    const double numeric = (up - down) / (static_cast<double>(up_value) - down_value);
    EXPECT_NEAR(gradients[p], numeric, 0.02 * std::fabs(numeric) + 2e-4)
        << layer.name << " parameter " << p - layer.begin;
  }
}

INSTANTIATE_TEST_SUITE_P(TrainerLayers, TrainerGradient,
                         testing::Values(Layer{"layer1", kOffset1, kOffset2}, Layer{"layer2", kOffset2, kOffset3},
                                         Layer{"layer3", kOffset3, kOffset4}, Layer{"layer4", kOffset4, kParameters}),
                         [](const auto& info) { return std::string(info.param.name); });

digits::DigitSet stroke_set(std::size_t count, std::uint64_t seed) {
  digits::DigitSet set;
  set.pixels = digits_test::stroke_images(count, seed);
  for (std::size_t i = 0; i < count; ++i) set.labels.push_back(static_cast<std::uint8_t>(i % 10));
  return set;
}

TEST(TrainerRun, RepeatsExactlyWithOneThreadOrTwo) {
  const digits::DigitSet set = stroke_set(70, 8);
  TrainingSettings settings;
  settings.epochs = 2;
  settings.batch = 7;
  std::vector<EpochReport> reports[2];
  settings.threads = 1;
  const std::vector<float> one = train(set, {}, settings, [&](const EpochReport& r) { reports[0].push_back(r); });
  settings.threads = 2;
  const std::vector<float> two = train(set, {}, settings, [&](const EpochReport& r) { reports[1].push_back(r); });
  EXPECT_EQ(one, two);
  ASSERT_EQ(reports[0].size(), 2u);
  EXPECT_EQ(reports[0][1].loss, reports[1][1].loss);
  EXPECT_NE(one, initial_parameters(settings.seed));

  settings.seed = 2;
  EXPECT_NE(train(set, {}, settings, [](const EpochReport&) {}), one);
}

TEST(TrainerRun, WeightDecayShrinksWeightsButNotBiases) {
  const digits::DigitSet set = stroke_set(40, 10);
  TrainingSettings settings;
  settings.epochs = 2;
  settings.batch = 4;
  settings.average = 0;
  settings.distort = false;
  settings.final_rate = settings.rate;
  const std::vector<float> plain = train(set, {}, settings, [](const EpochReport&) {});
  // With rate * weight_decay = 1 each step replaces a weight by its Adam step
  // (about the rate), so the weights stay near 0.
  settings.weight_decay = 1 / settings.rate;
  const std::vector<float> decayed = train(set, {}, settings, [](const EpochReport&) {});

  auto norm = [](const std::vector<float>& p, std::size_t first, std::size_t last) {
    double sum = 0;
    for (std::size_t i = first; i < last; ++i) sum += static_cast<double>(p[i]) * p[i];
    return std::sqrt(sum);
  };
  // Layer 3's weights (rows 1 and on) shrink; its biases (row 0) do not.
  EXPECT_LT(norm(decayed, kOffset3 + kNeurons3, kOffset4), 0.1 * norm(plain, kOffset3 + kNeurons3, kOffset4));
  EXPECT_GT(norm(decayed, kOffset3, kOffset3 + kNeurons3), 0.5 * norm(plain, kOffset3, kOffset3 + kNeurons3));
}

TEST(TrainerRun, LearnsAFewDigitsByHeart) {
  // Twenty undistorted images, seen often enough, are all classified right.
  const digits::DigitSet set = stroke_set(20, 9);
  TrainingSettings settings;
  settings.epochs = 60;
  settings.batch = 4;
  settings.rate = 1e-3f;
  settings.final_rate = 1e-4f;
  settings.distort = false;
  double last_loss = 0;
  const std::vector<float> trained = train(set, set, settings, [&](const EpochReport& r) { last_loss = r.loss; });
  EXPECT_EQ(accuracy(trained, set), 1.0);
  EXPECT_LT(last_loss, 0.1);
  EXPECT_LT(accuracy(initial_parameters(settings.seed), set), 0.5);
}

}  // namespace
