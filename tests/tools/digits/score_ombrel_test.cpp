// score-ombrel end to end on known result lines.
#include <gtest/gtest.h>

#include "digit_fixtures.h"
#include "digits/idx.h"

namespace {

using test_helpers::program_path;
using test_helpers::run_program;
using test_helpers::TempDir;

class ScoreOmbrel : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(digits::write_idx_labels(dir_ / "labels", std::vector<std::uint8_t>{3, 1, 4, 1, 5, 9, 2, 6}, error));
  }
  test_helpers::ProgramResult score(const std::string& ombrel_output, std::vector<std::string> args) {
    test_helpers::write_file(dir_ / "ombrel.txt", ombrel_output);
    args.insert(args.begin(), {"--labels", "labels"});
    args.push_back("ombrel.txt");
    return run_program(program_path("score-ombrel"), args, dir_.path());
  }
  TempDir dir_;
};

TEST_F(ScoreOmbrel, CountsHeldOutAndTrainingDigits) {
  const std::string ombrel_output =
      "magic number = 2051\nnumber of items = 8\nnumber of rows = 28\nNUM=8\n"
      "3 7 4 1 5 9 2 0\n";
  const auto result = score(ombrel_output, {"--held-out", "3"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out,
            "held-out: 2 of 3 correct, 66.67%\n"
            "training: 4 of 5 correct, 80.00%\n"
            "confusion matrix of the held-out digits (rows: true digit, columns: ombrel's digit):\n"
            "          0     1     2     3     4     5     6     7     8     9\n"
            "    0     0     0     0     0     0     0     0     0     0     0\n"
            "    1     0     0     0     0     0     0     0     1     0     0\n"
            "    2     0     0     0     0     0     0     0     0     0     0\n"
            "    3     0     0     0     1     0     0     0     0     0     0\n"
            "    4     0     0     0     0     1     0     0     0     0     0\n"
            "    5     0     0     0     0     0     0     0     0     0     0\n"
            "    6     0     0     0     0     0     0     0     0     0     0\n"
            "    7     0     0     0     0     0     0     0     0     0     0\n"
            "    8     0     0     0     0     0     0     0     0     0     0\n"
            "    9     0     0     0     0     0     0     0     0     0     0\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(ScoreOmbrel, ReadsABareResultLineFromStandardInputToo) {
  // Fewer results than held-out digits: only those are scored.
  test_helpers::write_file(dir_ / "line.txt", "3 1\n");
  const auto result = run_program("/bin/sh", {"-c", program_path("score-ombrel").string() + " --labels labels < line.txt"}, dir_.path());
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(test_helpers::split_lines(result.out)[0], "held-out: 2 of 2 correct, 100.00%");
  EXPECT_EQ(test_helpers::split_lines(result.out)[1], "training: no images scored");
}

TEST_F(ScoreOmbrel, RejectsOutputItCannotScore) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"NUM=3\n3 1\n", "score-ombrel: the result line holds 2 digits but ombrel reported NUM=3\n"},
      {"NUM=2\n3 x\n", "score-ombrel: the result line is not single digits separated by single spaces (at character 3)\n"},
      {"NUM=2\n3 1 \n", "score-ombrel: the result line is not single digits separated by single spaces (at character 4)\n"},
      {"NUM=2\n", "score-ombrel: no result line after 'NUM=2'\n"},
      {"FAIL! INPUT WEIGHTS NOT FOUND!\n", ""},
      {"3 1 4 1 5 9 2 6 5\n", "score-ombrel: 9 results but labels holds only 8 labels\n"},
  };
  for (const auto& [text, message] : cases) {
    const auto result = score(text, {});
    EXPECT_EQ(result.exit_status, 1) << text;
    EXPECT_EQ(result.out, "") << text;
    if (!message.empty()) EXPECT_EQ(result.err, message) << text;
  }
  // A line that ombrel's failure message would be taken for: one line, not digits.
  EXPECT_NE(score("FAIL! INPUT WEIGHTS NOT FOUND!\n", {}).err.find("not single digits"), std::string::npos);
  EXPECT_EQ(score("", {}).err.rfind("score-ombrel: no result line found", 0), 0u);

  const auto missing = score("3\n", {"--labels", "absent"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err, "score-ombrel: cannot open absent: No such file or directory\n");

  // A folder where a file belongs cannot be read: said so, not taken for an empty file.
  std::filesystem::create_directory(dir_ / "folder");
  for (const auto& args : {std::vector<std::string>{"--labels", "folder", "ombrel.txt"}, {"--labels", "labels", "folder"}}) {
    const auto result = run_program(program_path("score-ombrel"), args, dir_.path());
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "score-ombrel: cannot read folder: Is a directory\n");
  }
}

}  // namespace
