// The ombrel program run as a user runs it, in a temporary directory holding
// its input files: standard output and error, exit status, "out.res" and the
// runtime's trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "json.h"
#include "ombrel_data.h"
#include "ombrel_reference.h"
#include "common/trace.h"
#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
namespace ref = ombrel_reference;
using ombrel_data::Image;
using test_helpers::ProgramResult;

const std::string kUsage =
    "Usage: ./ombrel <NUM> [-v]\n"
    "where NUM is the number of images to process in parallel (up to 10000 for the t10k-images-idx3-ubyte "
    "database file) and -v is used to display approximately what each image looks like.\n";

std::string header(int items) {
  return "magic number = 2051\nnumber of items = " + std::to_string(items) + "\nnumber of rows = 28\n";
}

/// The number of the one line of the program's source that contains `marker`.
int source_line(const std::string& marker) {
  std::ifstream source(OMBREL_SOURCE);
  std::string line;
  int number = 0, found = 0;
  while (std::getline(source, line)) {
    ++number;
    if (line.find(marker) != std::string::npos) {
      EXPECT_EQ(found, 0) << "marker " << marker << " is on more than one line";
      found = number;
    }
  }
  EXPECT_NE(found, 0) << "marker " << marker << " is not in " << OMBREL_SOURCE;
  return found;
}

std::string checked_call_error(const std::string& marker, const std::string& message) {
  return "Cuda error in file 'ombrel.cu' in line " + std::to_string(source_line(marker)) + " : " + message + ".\n";
}

std::string launch_error(const std::string& message) {
  return "Cuda error: Kernel execution failed in file 'ombrel.cu' in line " +
         std::to_string(source_line("CUT_CHECK_ERROR(")) + " : " + message + ".\n";
}

/// The picture -v draws of an image: an empty line, then 29 lines of 29
/// characters, "0" for a pixel byte of 129 or more.
std::string picture(const Image& image) {
  std::string out = "\n";
  for (int r = 0; r < 29; ++r) {
    for (int c = 0; c < 29; ++c) out += r < 28 && c < 28 && image[28 * r + c] >= 129 ? '0' : ' ';
    out += '\n';
  }
  return out;
}

std::string digits_line(const std::vector<float>& scores) {
  std::string out;
  for (size_t i = 0; i < scores.size() / 10; ++i) {
    out += (i ? " " : "") + std::to_string(ref::winning_digit(std::span(scores).subspan(10 * i, 10)));
  }
  return out + "\n";
}

class OmbrelProgram : public ::testing::Test {
 protected:
  test_helpers::TempDir dir;
  std::vector<Image> images = ombrel_data::random_images(3, 11);
  ref::Weights weights = ombrel_data::random_weights(12);

  OmbrelProgram() { ombrel_data::center_last_layer(weights, ombrel_data::slots(images)); }

  void write_inputs() { ombrel_data::write_inputs(dir.path(), images, weights); }

  ProgramResult run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
    return test_helpers::run_program(test_helpers::program_path("ombrel"), args, dir.path(), env);
  }

  /// The scores the program should find for its first `count` images.
  std::vector<float> expected_scores(size_t count) {
    std::vector<Image> shown(images.begin(), images.begin() + std::min(count, images.size()));
    Image blank{};
    shown.resize(count, blank);
    return ref::scores(ombrel_data::slots(shown), weights);
  }

  std::vector<double> out_res() {
    const std::string bytes = test_helpers::read_file(dir / "out.res");
    EXPECT_EQ(bytes.size(), 80u);
    std::vector<double> values(bytes.size() / 8);
    std::memcpy(values.data(), bytes.data(), values.size() * 8);
    return values;
  }
};

// --- Command line -------------------------------------------------------

class OmbrelUsage : public OmbrelProgram, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(OmbrelUsage, PrintsTheTwoUsageLinesAndFails) {
  write_inputs();
  const auto result = run(GetParam());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, kUsage);
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(fs::exists(dir / "out.res"));
}

INSTANTIATE_TEST_SUITE_P(BadCommandLines, OmbrelUsage,
                         ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"0"},
                                           std::vector<std::string>{"abc"}, std::vector<std::string>{"-3"},
                                           std::vector<std::string>{"3", "-x"}, std::vector<std::string>{"3", "v"},
                                           std::vector<std::string>{"3", "-v", "foo"},
                                           std::vector<std::string>{"3", "-v", "-", "-v"},
                                           std::vector<std::string>{"0", "-v"}));

TEST_F(OmbrelProgram, AcceptsRepeatedAndLongerPictureOptionsAndLeadingDigits) {
  write_inputs();
  for (const auto& args : {std::vector<std::string>{"2", "-v", "-v"}, std::vector<std::string>{"2xyz", "-verbose"}}) {
    const auto result = run(args);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, header(3) + picture(images[0]) + picture(images[1]) + "NUM=2\n" +
                              digits_line(expected_scores(2)));
  }
}

// --- Classification -------------------------------------------------------

TEST_F(OmbrelProgram, OneImagePrintsItsDigitAndWritesItsScores) {
  write_inputs();
  const auto result = run({"1"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const auto scores = expected_scores(1);
  EXPECT_EQ(result.out, header(3) + "NUM=1\n" + digits_line(scores));
  EXPECT_EQ(result.err, "");
  const auto written = out_res();
  for (size_t d = 0; d < written.size(); ++d) EXPECT_NEAR(written[d], scores[d], 1e-6 * std::fabs(scores[d]));
}

TEST_F(OmbrelProgram, ImagesPastTheEndOfTheFileAreBlankAndOutResHoldsOnlyImageZero) {
  images = ombrel_data::random_images(6, 21);
  write_inputs();
  // Extra values after a weight array are never read.
  std::ofstream(dir / "data/lw4.wei", std::ios::app | std::ios::binary) << "trailing bytes";
  const auto result = run({"9"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const auto scores = expected_scores(9);
  EXPECT_EQ(result.out, header(6) + "NUM=9\n" + digits_line(scores));
  const auto written = out_res();
  for (size_t d = 0; d < written.size(); ++d) EXPECT_NEAR(written[d], scores[d], 1e-6 * std::fabs(scores[d]));
}

TEST_F(OmbrelProgram, PicturesShowInkFromByte129BeforeTheNumLine) {
  images[0].fill(0);
  images[0][28 * 3 + 4] = 128;   // stays background
  images[0][28 * 3 + 5] = 129;   // first byte shown as ink
  images[0][28 * 27 + 27] = 255;  // the last pixel, beside the border
  write_inputs();
  const auto result = run({"3", "-v"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const std::string pictures = picture(images[0]) + picture(images[1]) + picture(images[2]);
  EXPECT_EQ(result.out, header(3) + pictures + "NUM=3\n" + digits_line(expected_scores(3)));
  const auto lines = test_helpers::split_lines(pictures);
  ASSERT_EQ(lines.size(), 3u * 30);
  EXPECT_EQ(lines[1 + 3], std::string(5, ' ') + "0" + std::string(23, ' '));
  EXPECT_EQ(lines[1 + 27], std::string(27, ' ') + "0 ");
}

TEST_F(OmbrelProgram, TiesGoToTheLowestDigit) {
  // With zero last-layer weights every image's scores are the activations of
  // the biases alone.
  auto& last = weights.layer[3];
  std::fill(last.begin(), last.end(), 0.0f);
  const std::vector<std::pair<std::vector<float>, std::string>> cases = {
      {{0.1f, 0.5f, 0.2f, 0.5f, 0.5f, -1, -1, -1, -1, 0.4f}, "1 1 1\n"},
      {{0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f}, "0 0 0\n"},
      {{-1, -1, -1, -1, -1, -1, -1, -1, 0.7f, 0.7f}, "8 8 8\n"},
  };
  for (const auto& [biases, digits] : cases) {
    for (size_t d = 0; d < 10; ++d) last[101 * d] = biases[d];
    write_inputs();
    const auto result = run({"3"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, header(3) + "NUM=3\n" + digits);
  }
}

// --- Input and output files -------------------------------------------------

TEST_F(OmbrelProgram, MissingImageFileFailsBeforeTheHeader) {
  write_inputs();
  fs::remove(dir / "data/t10k-images-idx3-ubyte");
  const auto result = run({"2", "-v"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "FAIL! data/t10k-images-idx3-ubyte NOT FOUND!\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(OmbrelProgram, MissingWeightFilesAreReportedOnceAfterThePictures) {
  for (const auto& missing : {std::vector<int>{2}, std::vector<int>{0, 3}, std::vector<int>{0, 1, 2, 3}}) {
    write_inputs();
    for (int layer : missing) fs::remove(dir / ombrel_data::weight_file(layer));
    const auto result = run({"2", "-v"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, header(3) + picture(images[0]) + picture(images[1]) + "FAIL! INPUT WEIGHTS NOT FOUND!\n");
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(fs::exists(dir / "out.res"));
  }
}

TEST_F(OmbrelProgram, ShortWeightFilesAreNamedUnlessOneIsMissing) {
  const auto truncate = [&](int layer, size_t bytes) {
    fs::resize_file(dir / ombrel_data::weight_file(layer), bytes);
  };
  write_inputs();
  truncate(1, 31200 - 1);
  auto result = run({"1"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, header(3) + "FAIL! data/lw2.wei IS TOO SHORT!\n");
  EXPECT_EQ(result.err, "");

  write_inputs();
  truncate(0, 0);
  truncate(3, 4036);
  result = run({"1"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, header(3) + "FAIL! data/lw1.wei IS TOO SHORT!\nFAIL! data/lw4.wei IS TOO SHORT!\n");

  // The missing-file report takes precedence over a short one.
  write_inputs();
  truncate(0, 100);
  fs::remove(dir / ombrel_data::weight_file(2));
  result = run({"1"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, header(3) + "FAIL! INPUT WEIGHTS NOT FOUND!\n");
  EXPECT_FALSE(fs::exists(dir / "out.res"));
}

TEST_F(OmbrelProgram, UnwritableOutResFailsAfterTheResultLine) {
  write_inputs();
  fs::create_directory(dir / "out.res");
  const auto result = run({"2"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, header(3) + "NUM=2\n" + digits_line(expected_scores(2)));
  EXPECT_EQ(result.err, "ombrel: cannot write out.res: Is a directory\n");
}

// --- Runtime failures ----------------------------------------------------------

TEST_F(OmbrelProgram, NoDeviceFailsBeforeReadingAnything) {
  // No input files: the device checks come first.
  auto result = run({"1"}, {{"CUDART_DEVICES", "0"}});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "There is no device.\n");

  for (const char* count : {"1", "3"}) {
    result = run({"1"}, {{"CUDART_DEVICES", count}, {"CUDART_DEVICE_CC", "0.9"}});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "There is no device supporting CUDA.\n");
  }
}

struct InjectedFault {
  std::string fail;     // CUDART_FAIL
  std::string marker;   // text on the source line of the check that reports it
  std::string message;  // the runtime's message for the status
  bool after_num_line;  // whether "NUM=3" was printed before the failure
};

void PrintTo(const InjectedFault& fault, std::ostream* os) { *os << fault.fail; }

class OmbrelFault : public OmbrelProgram, public ::testing::WithParamInterface<InjectedFault> {};

TEST_P(OmbrelFault, IsReportedByItsCheckedCall) {
  const InjectedFault& fault = GetParam();
  write_inputs();
  const auto result = run({"3"}, {{"CUDART_FAIL", fault.fail}});
  EXPECT_EQ(result.exit_status, 1);
  const bool launch = fault.marker.empty();
  EXPECT_EQ(result.err, launch ? launch_error(fault.message) : checked_call_error(fault.marker, fault.message));
  const bool device_query = fault.fail.starts_with("cudaGetDevice") || fault.fail.starts_with("cudaSetDevice");
  EXPECT_EQ(result.out, device_query ? "" : header(3) + (fault.after_num_line ? "NUM=3\n" : ""));
  EXPECT_FALSE(fs::exists(dir / "out.res"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OmbrelFault,
    ::testing::Values(
        InjectedFault{"cudaGetDeviceCount:1", "cudaGetDeviceCount(", "no CUDA-capable device is detected", false},
        InjectedFault{"cudaGetDeviceProperties:1", "cudaGetDeviceProperties(", "invalid device ordinal", false},
        InjectedFault{"cudaSetDevice:1", "cudaSetDevice(", "invalid device ordinal", false},
        InjectedFault{"cudaMalloc:1", "&Layer1_Neurons_GPU,", "out of memory", false},
        InjectedFault{"cudaMalloc:9", "&Layer5_Neurons_GPU,", "out of memory", false},
        InjectedFault{"cudaMemcpy:1", "cudaMemcpy(Layer1_Neurons_GPU,", "invalid argument", false},
        InjectedFault{"cudaMemcpy:6", "cudaMemcpy(Layer5_Neurons_GPU,", "invalid argument", false},
        InjectedFault{"cudaMemcpy:7", "cudaMemcpy(Layer5_Neurons_CPU,", "invalid argument", true},
        InjectedFault{"cudaLaunch:1", "", "unspecified launch failure", true},
        InjectedFault{"cudaLaunch:4", "", "unspecified launch failure", true}),
    [](const ::testing::TestParamInfo<InjectedFault>& info) {
      std::string name = info.param.fail;
      std::replace(name.begin(), name.end(), ':', '_');
      return name;
    });

TEST_F(OmbrelProgram, ImageCountBeyondTheGridsYExtentFailsAtTheLaunchCheck) {
  write_inputs();
  const auto result = run({"70000"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, header(3) + "NUM=70000\n");
  EXPECT_EQ(result.err, launch_error("invalid configuration argument"));
}

TEST_F(OmbrelProgram, HostAllocationFailureNamesTheArray) {
  write_inputs();
  // 10^9 images need 3.4 TB of image slots; in 32-bit arithmetic the size
  // would wrap to a few hundred megabytes and the run would go on.
  const std::string count = "1000000000";
#if defined(GPU_SANITIZED_BUILD)
  // The sanitizer's allocator refuses so large a request; have it return null as malloc does.
  const char* options = std::getenv("ASAN_OPTIONS");
  const std::string asan = (options && *options ? std::string(options) + ":" : "") + "allocator_may_return_null=1";
  const auto result = run({count}, {{"ASAN_OPTIONS", asan}});
#else
  // Limit the address space so that the allocation fails whatever the
  // system's overcommit policy.
  const auto result = test_helpers::run_program(
      "/bin/sh", {"-c", "ulimit -v 8388608 && exec \"$0\" \"$1\"", test_helpers::program_path("ombrel").string(), count},
      dir.path());
#endif
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  std::string err = result.err;
#if defined(GPU_SANITIZED_BUILD)
  // The sanitizer warns on a line of its own first.
  if (err.starts_with("==")) err.erase(0, err.find('\n') + 1);
#endif
  EXPECT_EQ(err, "ombrel: cannot allocate 3364000000000 bytes for Layer1_Neurons_CPU\n");
}

// --- Trace ---------------------------------------------------------------------

/// FNV-1a 64 of the bytes, as the trace prints copy digests.
std::string fnv1a(const void* data, size_t size) { return gpu_runtime::common::fnv1a_hex(data, size); }

bool flag(const test_helpers::Json& value) {
  return value.kind() == test_helpers::Json::Kind::Bool ? value.boolean() : value.integer() != 0;
}

TEST_F(OmbrelProgram, TraceShowsRegistrationsBuffersCopiesAndTheFourLaunches) {
  write_inputs();
  const std::string trace_path = (dir / "trace.jsonl").string();
  const auto result = run({"2"}, {{"CUDART_TRACE", trace_path}});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const auto trace = test_helpers::read_trace(trace_path);

  std::vector<std::string> functions;
  for (const auto& call : test_helpers::calls_named(trace, "__cudaRegisterFunction"))
    functions.push_back(call["name"].str());
  EXPECT_EQ(functions, (std::vector<std::string>{"_Z17executeFirstLayerPfS_S_", "_Z18executeSecondLayerPfS_S_",
                                                 "_Z17executeThirdLayerPfS_S_", "_Z18executeFourthLayerPfS_S_"}));
  const auto vars = test_helpers::calls_named(trace, "__cudaRegisterVar");
  ASSERT_EQ(vars.size(), 2u);
  for (size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(vars[k]["name"].str(), k == 0 ? "kernelTemplate" : "kernelTemplate2");
    EXPECT_EQ(vars[k]["size"].integer(), 100);
    EXPECT_TRUE(flag(vars[k]["constant"]));
  }

  std::vector<long long> allocations;
  for (const auto& call : test_helpers::calls_named(trace, "cudaMalloc")) allocations.push_back(call["bytes"].integer());
  EXPECT_EQ(allocations, (std::vector<long long>{2 * 3364, 624, 2 * 4056, 31200, 2 * 5000, 500400, 2 * 400, 4040, 2 * 40}));

  // Uploads: the image slots, the four weight arrays, the zeroed scores; then the scores back.
  const auto slots = ombrel_data::slots(std::span(images).first(2));
  const std::vector<float> zeros(20, 0.0f);
  struct Copy {
    long long kind, bytes;
    std::string digest;
  };
  std::vector<Copy> want = {{1, 2 * 3364, fnv1a(slots.data(), 2 * 3364)}};
  for (const auto& layer : weights.layer) want.push_back({1, static_cast<long long>(layer.size() * 4), fnv1a(layer.data(), layer.size() * 4)});
  want.push_back({1, 80, fnv1a(zeros.data(), 80)});
  const auto copies = test_helpers::calls_named(trace, "cudaMemcpy");
  ASSERT_EQ(copies.size(), want.size() + 1);
  for (size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(copies[k]["kind"].integer(), want[k].kind) << "copy " << k;
    EXPECT_EQ(copies[k]["bytes"].integer(), want[k].bytes) << "copy " << k;
    EXPECT_EQ(copies[k]["digest"].str(), want[k].digest) << "copy " << k;
  }
  EXPECT_EQ(copies.back()["kind"].integer(), 2);
  EXPECT_EQ(copies.back()["bytes"].integer(), 80);

  const auto launches = test_helpers::calls_named(trace, "cudaLaunch");
  ASSERT_EQ(launches.size(), 4u);
  const std::vector<std::vector<long long>> grids = {{6, 2, 1}, {50, 2, 1}, {100, 2, 1}, {10, 2, 1}};
  const std::vector<std::vector<long long>> blocks = {{13, 13, 1}, {5, 5, 1}, {1, 1, 1}, {1, 1, 1}};
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(launches[k]["kernel"].str(), functions.size() == 4 ? functions[k] : "") << "launch " << k;
    EXPECT_EQ(launches[k]["grid"].integers(), grids[k]) << "launch " << k;
    EXPECT_EQ(launches[k]["block"].integers(), blocks[k]) << "launch " << k;
    std::vector<std::vector<long long>> args;
    for (const auto& arg : launches[k]["args"].array()) args.push_back(arg.integers());
    EXPECT_EQ(args, (std::vector<std::vector<long long>>{{0, 8}, {8, 8}, {16, 8}})) << "launch " << k;
  }
}

}  // namespace
