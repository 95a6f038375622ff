// IDX files, the package's JSON digits and the held-out/training split.
#include <gtest/gtest.h>

#include <array>
#include <set>

#include "digit_fixtures.h"
#include "digits/digit_json.h"
#include "digits/idx.h"
#include "digits/split.h"

namespace {

using test_helpers::TempDir;

std::string bytes_of(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(DigitsIdx, WriterAndReaderAgree) {
  TempDir dir;
  const std::vector<std::uint8_t> pixels = digits_test::stroke_images(3, 5);
  const std::vector<std::uint8_t> labels = {7, 0, 9};
  std::string error;
  ASSERT_TRUE(digits::write_idx_images(dir / "images", pixels, error)) << error;
  ASSERT_TRUE(digits::write_idx_labels(dir / "labels", labels, error)) << error;

  // The header is the published big-endian layout.
  const std::string images = test_helpers::read_file(dir / "images");
  ASSERT_EQ(images.size(), 16u + 3 * 784);
  EXPECT_EQ(images.substr(0, 16), bytes_of({0, 0, 8, 3, 0, 0, 0, 3, 0, 0, 0, 28, 0, 0, 0, 28}));
  EXPECT_EQ(test_helpers::read_file(dir / "labels"), bytes_of({0, 0, 8, 1, 0, 0, 0, 3, 7, 0, 9}));

  digits::DigitSet set;
  ASSERT_TRUE(digits::read_digit_set(dir / "images", dir / "labels", set, error)) << error;
  EXPECT_EQ(set.pixels, pixels);
  EXPECT_EQ(set.labels, labels);
  EXPECT_FALSE(std::filesystem::exists(dir / "images.partial"));
}

TEST(DigitsIdx, ReaderRejectsDamagedFiles) {
  TempDir dir;
  std::string error;
  const std::vector<std::uint8_t> pixels = digits_test::stroke_images(2, 6);
  ASSERT_TRUE(digits::write_idx_images(dir / "images", pixels, error));
  const std::string good = test_helpers::read_file(dir / "images");
  std::vector<std::uint8_t> out;

  struct Case {
    std::string name, bytes, message;
  };
  std::string bad_magic = good;
  bad_magic[3] = 1;
  std::string bad_rows = good;
  bad_rows[11] = 29;
  const std::vector<Case> cases = {
      {"missing", "", "cannot open"},
      {"short", good.substr(0, good.size() - 1), "the header promises 2 images of 784 bytes but the file holds 1567"},
      {"long", good + "x", "holds 1569"},
      {"magic", bad_magic, "not an IDX image file (magic number 2049, expected 2051)"},
      {"rows", bad_rows, "images are 29x28, expected 28x28"},
      {"header", good.substr(0, 10), "too short"},
  };
  for (const Case& c : cases) {
    if (c.name != "missing") test_helpers::write_file(dir / c.name, c.bytes);
    error.clear();
    EXPECT_FALSE(digits::read_idx_images(dir / c.name, out, error)) << c.name;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
    EXPECT_NE(error.find((dir / c.name).string()), std::string::npos) << c.name << ": " << error;
  }

  // Labels that disagree with the images in count, or are not digits.
  digits::DigitSet set;
  ASSERT_TRUE(digits::write_idx_labels(dir / "three", std::vector<std::uint8_t>{1, 2, 3}, error));
  EXPECT_FALSE(digits::read_digit_set(dir / "images", dir / "three", set, error));
  EXPECT_NE(error.find("holds 2 images but"), std::string::npos) << error;
  ASSERT_TRUE(digits::write_idx_labels(dir / "ten", std::vector<std::uint8_t>{1, 10}, error));
  EXPECT_FALSE(digits::read_digit_set(dir / "images", dir / "ten", set, error));
  EXPECT_NE(error.find("label 1 is 10, not a digit"), std::string::npos) << error;
}

TEST(DigitsJson, EveryByteSurvivesThreeDecimals) {
  std::vector<std::uint8_t> all_bytes(784);
  for (int i = 0; i < 784; ++i) all_bytes[i] = static_cast<std::uint8_t>(i % 256);
  std::vector<std::uint8_t> parsed;
  std::string error;
  ASSERT_TRUE(digits::parse_digit_json(digits_test::digit_json(all_bytes), parsed, error)) << error;
  EXPECT_EQ(parsed, all_bytes);

  ASSERT_TRUE(digits::parse_digit_json(" {\"data\":[]}\n", parsed, error)) << error;
  EXPECT_TRUE(parsed.empty());
}

TEST(DigitsJson, RejectsWhatIsNotThePackagesLayout) {
  const std::string image = digits_test::digit_json(std::vector<std::uint8_t>(784, 0));
  std::string one_more = image;
  one_more.insert(one_more.size() - 2, ",0");
  std::string between = image;
  between.replace(between.find("[0,") + 1, 1, "0.5");  // 127.5 is no byte
  std::string negative = image;
  negative.replace(negative.find("[0,") + 1, 1, "-0.004");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {one_more, "785 values are not whole images of 784"},
      {between, "value 0.5 (image 0, pixel 0) is not a byte/255 value"},
      {negative, "value -0.004 (image 0, pixel 0)"},
      {"{\"pixels\": []}", "at byte 1: expected the key \"data\""},
      {"{\"data\": [0,,0]}", "at byte 12: expected a number"},
      {"{\"data\": [0] ", "expected '}'"},
      {image + "]", "unexpected text after the object"},
  };
  for (const auto& [text, message] : cases) {
    std::vector<std::uint8_t> parsed;
    std::string error;
    EXPECT_FALSE(digits::parse_digit_json(text, parsed, error)) << message;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

// Digit d's image i is recognisable from its first two pixels.
std::array<std::vector<std::uint8_t>, 10> numbered_digits(const std::array<std::size_t, 10>& counts) {
  std::array<std::vector<std::uint8_t>, 10> by_digit;
  for (std::size_t d = 0; d < 10; ++d)
    for (std::size_t i = 0; i < counts[d]; ++i) {
      std::vector<std::uint8_t> image(784, 0);
      image[0] = static_cast<std::uint8_t>(d);
      image[1] = static_cast<std::uint8_t>(i);
      by_digit[d].insert(by_digit[d].end(), image.begin(), image.end());
    }
  return by_digit;
}

TEST(DigitsSplit, HoldsOutTheLastFifthOfEachDigitShuffled) {
  // The package's own counts per digit: their nearest fifths make 2,000.
  const std::array<std::size_t, 10> package = {1001, 1127, 991, 1032, 980, 863, 1014, 1070, 944, 978};
  std::size_t held_out = 0;
  for (std::size_t n : package) held_out += digits::held_out_count(n);
  EXPECT_EQ(held_out, 2000u);

  const std::array<std::size_t, 10> counts = {10, 11, 12, 13, 14, 15, 16, 17, 18, 5};
  const digits::Split split = digits::split_digits(numbered_digits(counts), 42);
  std::size_t total = 0, expected_held_out = 0;
  for (std::size_t n : counts) total += n, expected_held_out += digits::held_out_count(n);
  ASSERT_EQ(split.all.size(), total);
  ASSERT_EQ(split.held_out, expected_held_out);
  ASSERT_EQ(split.training.size(), total - expected_held_out);

  std::set<std::pair<int, int>> seen;
  bool labels_follow_images = true, shuffled = false;
  for (std::size_t k = 0; k < split.all.size(); ++k) {
    const int d = split.all.pixels[784 * k], i = split.all.pixels[784 * k + 1];
    labels_follow_images &= split.all.labels[k] == d;
    EXPECT_TRUE(seen.insert({d, i}).second) << "digit " << d << " image " << i << " listed twice";
    const std::size_t first_held_out = counts[d] - digits::held_out_count(counts[d]);
    EXPECT_EQ(k < split.held_out, static_cast<std::size_t>(i) >= first_held_out) << "digit " << d << " image " << i;
    if (k > 0 && split.all.labels[k] < split.all.labels[k - 1]) shuffled = true;
  }
  EXPECT_TRUE(labels_follow_images);
  EXPECT_TRUE(shuffled);
  EXPECT_TRUE(std::equal(split.training.pixels.begin(), split.training.pixels.end(),
                         split.all.pixels.begin() + 784 * split.held_out));

  // Fixed by the seed.
  EXPECT_EQ(digits::split_digits(numbered_digits(counts), 42).all.pixels, split.all.pixels);
  EXPECT_NE(digits::split_digits(numbered_digits(counts), 43).all.pixels, split.all.pixels);
}

}  // namespace
