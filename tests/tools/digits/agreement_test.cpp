// train-ombrel end to end, and agreement between the trainer's network and
// ombrel itself on the weights the trainer writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <sstream>

#include "digit_fixtures.h"
#include "digits/idx.h"
#include "train-ombrel/network.h"

namespace {

using test_helpers::program_path;
using test_helpers::run_program;
using test_helpers::TempDir;

// A working folder with data/ holding made-up training digits and a
// made-up 12-image test file, trained on briefly.
class TrainerAgreement : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "data");
    std::string error;
    std::vector<std::uint8_t> labels;
    for (int i = 0; i < 60; ++i) labels.push_back(static_cast<std::uint8_t>(i % 10));
    ASSERT_TRUE(digits::write_idx_images(dir_ / "data/train-images-idx3-ubyte", digits_test::stroke_images(60, 21), error));
    ASSERT_TRUE(digits::write_idx_labels(dir_ / "data/train-labels-idx1-ubyte", labels, error));
    test_images_ = digits_test::stroke_images(kTestImages, 22);
    ASSERT_TRUE(digits::write_idx_images(dir_ / "data/t10k-images-idx3-ubyte", test_images_, error));
  }

  static constexpr int kTestImages = 12;
  TempDir dir_;
  std::vector<std::uint8_t> test_images_;
};

TEST_F(TrainerAgreement, OmbrelComputesWhatTheTrainerComputes) {
  const auto trained = run_program(program_path("train-ombrel"), {"--epochs", "2", "--batch", "8"}, dir_.path());
  ASSERT_EQ(trained.exit_status, 0) << trained.err;
  EXPECT_EQ(trained.out.substr(0, 70), "training on 60 digits for 2 epochs (batch 8, rate 0.001 to 1e-05, seed");
  EXPECT_NE(trained.out.find("\nwrote data/lw1.wei, data/lw2.wei, data/lw3.wei, data/lw4.wei\n"), std::string::npos) << trained.out;

  const auto ombrel = run_program(program_path("ombrel"), {std::to_string(kTestImages)}, dir_.path());
  ASSERT_EQ(ombrel.exit_status, 0) << ombrel.out << ombrel.err;
  const std::string out_res = test_helpers::read_file(dir_ / "out.res");
  ASSERT_EQ(out_res.size(), 80u);
  double scores[10];
  std::memcpy(scores, out_res.data(), sizeof scores);

  // The trainer's own report of the first image's scores.
  const auto outputs = run_program(program_path("train-ombrel"), {"--outputs", "data/t10k-images-idx3-ubyte"}, dir_.path());
  ASSERT_EQ(outputs.exit_status, 0) << outputs.err;
  const std::vector<std::string> lines = test_helpers::split_lines(outputs.out);
  ASSERT_EQ(lines.size(), 11u) << outputs.out;
  int spread = 0;
  for (int d = 0; d < 10; ++d) {
    std::istringstream line(lines[d]);
    int digit = -1;
    double value = 0;
    line >> digit >> value;
    EXPECT_EQ(digit, d);
    EXPECT_NEAR(scores[d], value, 1e-5) << "digit " << d;
    spread += std::fabs(value - scores[0]) > 1e-3;
  }
  EXPECT_GT(spread, 0) << "all ten scores alike: the comparison proves little";

  // And the winning digit of every image.
  ombrel_net::Weights weights;
  std::string error;
  ASSERT_TRUE(ombrel_net::read_weights(dir_ / "data", weights, error)) << error;
  const std::vector<float> parameters = ombrel_net::to_parameters(weights);
  auto pass = std::make_unique<ombrel_net::Pass>();
  std::array<float, ombrel_net::kSlotSize> slot{};
  std::string expected;
  for (int i = 0; i < kTestImages; ++i) {
    ombrel_net::encode_slot(std::span<const std::uint8_t, 784>(test_images_.data() + 784 * i, 784), slot);
    ombrel_net::forward(parameters, slot, *pass);
    expected += std::to_string(ombrel_net::winning_digit(pass->outputs)) + (i + 1 < kTestImages ? " " : "\n");
  }
  ASSERT_GE(ombrel.out.size(), expected.size());
  EXPECT_EQ(ombrel.out.substr(ombrel.out.size() - expected.size()), expected);
  EXPECT_EQ(lines[10], "digit " + expected.substr(0, 1));
}

TEST_F(TrainerAgreement, ReportsBadInputsBeforeTraining) {
  std::filesystem::remove(dir_ / "data/train-labels-idx1-ubyte");
  auto result = run_program(program_path("train-ombrel"), {}, dir_.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "train-ombrel: cannot open data/train-labels-idx1-ubyte: No such file or directory\n");
  EXPECT_EQ(result.out, "");

  result = run_program(program_path("train-ombrel"), {"--labels", "data/t10k-images-idx3-ubyte"}, dir_.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "train-ombrel: data/t10k-images-idx3-ubyte: not an IDX label file (magic number 2051, expected 2049)\n");

  result = run_program(program_path("train-ombrel"), {"--images", "data"}, dir_.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "train-ombrel: cannot read data: Is a directory\n");

  for (const auto& [option, value] : std::vector<std::pair<std::string, std::string>>{
           {"--threads", "3"}, {"--rate", "inf"}, {"--final-rate", "nan"}, {"--weight-decay", "1e99"}, {"--shift", "-inf"}}) {
    result = run_program(program_path("train-ombrel"), {option, value}, dir_.path());
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "train-ombrel: bad value '" + value + "' for " + option + "\n");
  }


  result = run_program(program_path("train-ombrel"), {"--outputs", "data/t10k-images-idx3-ubyte"}, dir_.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "train-ombrel: cannot open data/lw1.wei: No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "data/lw1.wei"));
}

// A rate so large that the weights overflow: nothing is written over the
// old weights.
TEST_F(TrainerAgreement, DivergedTrainingWritesNothing) {
  test_helpers::write_file(dir_ / "data/lw1.wei", "previous");
  const auto result = run_program(program_path("train-ombrel"), {"--rate", "3e38", "--epochs", "2", "--no-distortion"},
                                  dir_.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "train-ombrel: training diverged: the weights are not finite numbers; nothing written\n");
  EXPECT_EQ(test_helpers::read_file(dir_ / "data/lw1.wei"), "previous");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "data/lw2.wei"));
}

}  // namespace
