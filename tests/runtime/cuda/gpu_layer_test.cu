// The GPU build's layer over the vendor runtime, on the fake device of
// fake_vendor.h: the legacy launch calls, last errors, copies checked against
// the allocation table, the CTA tracker and the call trace. Built by nvcc like
// the programs, so kernels are registered by nvcc's own code. Runs as one
// process with CUDART_TRACE and CUDART_KERNEL_TIMES set (both are opened at
// registration, before main).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "fake_vendor.h"
#include "gpu_runtime.h"
#include "common/status.h"
#include "common/trace.h"
#include "json.h"
#include "program_runner.h"

// Parameters of every size the launch glue lays out: offsets 0, 8, 16, 20.
__global__ void mixedParameters(int count, float* data, int stride, float scale) {
  data[threadIdx.x * stride] = scale * count;
}

__global__ void fillInts(int* out) { out[blockIdx.x * blockDim.x + threadIdx.x] = 1; }

__constant__ int lookupTable[7];

namespace {

using test_helpers::Json;

// The trace lines written since the cursor was made, or since the last call.
class TraceCursor {
 public:
  TraceCursor() { seen_ = all().size(); }
  std::vector<Json> next() {
    std::vector<Json> lines = all();
    std::vector<Json> fresh(lines.begin() + static_cast<std::ptrdiff_t>(seen_), lines.end());
    seen_ = lines.size();
    return fresh;
  }
  static std::vector<Json> all() {
    const char* path = std::getenv("CUDART_TRACE");
    if (!path) throw std::runtime_error("run this test with CUDART_TRACE set");
    return test_helpers::read_trace(path);
  }

 private:
  size_t seen_ = 0;
};

// The "call" of every line, each of which must have one.
std::vector<std::string> every_call_name(const std::vector<Json>& lines) {
  std::vector<std::string> names;
  for (const Json& j : lines) names.push_back(j["call"].str());
  return names;
}

template <typename T>
T param_as(const std::vector<unsigned char>& bytes) {
  T value;
  EXPECT_EQ(bytes.size(), sizeof(T));
  std::memcpy(&value, bytes.data(), sizeof(T));
  return value;
}

const void* entry_of(void (*kernel)(int, float*, int, float)) { return reinterpret_cast<const void*>(kernel); }

class GpuLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_vendor::declare_parameters(entry_of(mixedParameters), {{0, 4}, {8, 8}, {16, 4}, {20, 4}});
    fake_vendor::declare_parameters(reinterpret_cast<const void*>(fillInts), {{0, 8}});
    fake_vendor::set_launch_status(0);
    while (cudaGetLastError() != cudaSuccess) {
    }
  }
};

TEST_F(GpuLayer, RegistrationIsTracedWithKernelAndConstantNames) {
  const std::vector<Json> lines = TraceCursor::all();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0]["call"].str(), "__cudaRegisterFatBinary");
  std::vector<std::string> functions;
  for (const Json& j : test_helpers::calls_named(lines, "__cudaRegisterFunction")) functions.push_back(j["name"].str());
  EXPECT_NE(std::find(functions.begin(), functions.end(), "_Z15mixedParametersiPfif"), functions.end());
  EXPECT_NE(std::find(functions.begin(), functions.end(), "_Z8fillIntsPi"), functions.end());
  const auto vars = test_helpers::calls_named(lines, "__cudaRegisterVar");
  ASSERT_EQ(vars.size(), 1u);
  EXPECT_EQ(vars[0]["name"].str(), "lookupTable");
  EXPECT_EQ(vars[0]["size"].integer(), 28);
  EXPECT_TRUE(vars[0]["constant"].boolean());
}

TEST_F(GpuLayer, LegacyLaunchHandsTheVendorEveryArgumentAtItsOffset) {
  float* data = reinterpret_cast<float*>(std::uintptr_t{0x1234500});  // never dereferenced: nothing runs
  const size_t before = fake_vendor::launches().size();
  TraceCursor trace;

  EXPECT_EQ(launchKernel(mixedParameters, dim3(3, 2, 1), dim3(32, 1, 1), 7, data, 9, 2.5f), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);

  ASSERT_EQ(fake_vendor::launches().size(), before + 1);
  const fake_vendor::Launch& launch = fake_vendor::launches().back();
  EXPECT_EQ(launch.entry, entry_of(mixedParameters));
  EXPECT_EQ(std::vector<unsigned>(launch.grid, launch.grid + 3), (std::vector<unsigned>{3, 2, 1}));
  EXPECT_EQ(std::vector<unsigned>(launch.block, launch.block + 3), (std::vector<unsigned>{32, 1, 1}));
  ASSERT_EQ(launch.params.size(), 4u);
  EXPECT_EQ(param_as<int>(launch.params[0]), 7);
  EXPECT_EQ(param_as<float*>(launch.params[1]), data);
  EXPECT_EQ(param_as<int>(launch.params[2]), 9);
  EXPECT_EQ(param_as<float>(launch.params[3]), 2.5f);

  const std::vector<Json> lines = trace.next();
  EXPECT_EQ(every_call_name(lines), (std::vector<std::string>{"cudaConfigureCall", "cudaSetupArgument", "cudaSetupArgument",
                                                         "cudaSetupArgument", "cudaSetupArgument", "cudaLaunch",
                                                         "cudaGetLastError"}));
  EXPECT_EQ(lines[0]["grid"].integers(), (std::vector<long long>{3, 2, 1}));
  EXPECT_EQ(lines[0]["shared"].integer(), 0);
  EXPECT_EQ(lines[0]["stream"].integer(), 0);
  const Json& traced = lines[5];
  EXPECT_EQ(traced["kernel"].str(), "_Z15mixedParametersiPfif");
  EXPECT_EQ(traced["block"].integers(), (std::vector<long long>{32, 1, 1}));
  const auto& args = traced["args"].array();
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[1].integers(), (std::vector<long long>{8, 8}));
  EXPECT_EQ(args[3].integers(), (std::vector<long long>{20, 4}));
  EXPECT_EQ(traced["tracker"]["ctas"].integer(), 6);
  EXPECT_EQ(traced["status"].integer(), 0);
}

TEST_F(GpuLayer, LaunchFailuresReachTheNextGetLastErrorOnce) {
  // A launch with no configuration before it.
  EXPECT_EQ(cudaLaunch(entry_of(mixedParameters)), 52);
  EXPECT_EQ(cudaGetLastError(), 52);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);

  // The vendor refusing the launch (say, too many threads per block).
  fake_vendor::set_launch_status(cudaErrorInvalidConfiguration);
  EXPECT_EQ(launchKernel(fillInts, dim3(1, 1, 1), dim3(2048, 1, 1), static_cast<int*>(nullptr)), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  fake_vendor::set_launch_status(0);

  // Arguments that are not the kernel's parameters never reach the vendor,
  // which would read a pointer for every parameter.
  const size_t before = fake_vendor::launches().size();
  int count = 1;
  ASSERT_EQ(cudaConfigureCall(dim3(1, 1, 1), dim3(1, 1, 1), 0, 0), cudaSuccess);
  ASSERT_EQ(cudaSetupArgument(&count, sizeof count, 0), cudaSuccess);
  EXPECT_EQ(cudaLaunch(entry_of(mixedParameters)), cudaErrorInvalidValue);
  ASSERT_EQ(cudaConfigureCall(dim3(1, 1, 1), dim3(1, 1, 1), 0, 0), cudaSuccess);
  ASSERT_EQ(cudaSetupArgument(&count, sizeof count, 4), cudaSuccess);  // misplaced
  EXPECT_EQ(cudaLaunch(entry_of(mixedParameters)), cudaErrorInvalidValue);
  EXPECT_EQ(fake_vendor::launches().size(), before);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

  // Set-up beyond the argument block, and set-up with nothing configured.
  ASSERT_EQ(cudaConfigureCall(dim3(1, 1, 1), dim3(1, 1, 1), 0, 0), cudaSuccess);
  EXPECT_EQ(cudaSetupArgument(&count, sizeof count, 4094), cudaErrorInvalidValue);
  EXPECT_EQ(cudaLaunch(entry_of(mixedParameters)), cudaErrorInvalidValue);
  EXPECT_EQ(cudaSetupArgument(&count, sizeof count, 0), 52);
}

TEST_F(GpuLayer, CopiesAreTracedByAllocationAndRefusedPastItsEnd) {
  TraceCursor trace;
  int* a = nullptr;
  int* b = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&a), 64), cudaSuccess);
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&b), 32), cudaSuccess);
  std::vector<int> host(16);
  for (int i = 0; i < 16; ++i) host[i] = i * 1000 - 7;

  EXPECT_EQ(cudaMemcpy(a, host.data(), 64, cudaMemcpyHostToDevice), cudaSuccess);
  std::vector<int> back(8, 0);
  EXPECT_EQ(cudaMemcpy(back.data(), a + 8, 32, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(back, std::vector<int>(host.begin() + 8, host.end()));
  EXPECT_EQ(cudaMemcpy(b, a + 4, 32, cudaMemcpyDeviceToDevice), cudaSuccess);

  const int copies = fake_vendor::copies();
  EXPECT_EQ(cudaMemcpy(a + 1, host.data(), 64, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(back.data(), b, 33, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);  // one byte past
  EXPECT_EQ(fake_vendor::copies(), copies);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

  EXPECT_EQ(cudaFree(a), cudaSuccess);
  EXPECT_EQ(cudaFree(a), cudaErrorInvalidDevicePointer);

  const std::vector<Json> lines = trace.next();
  ASSERT_EQ(lines.size(), 10u);
  const long long first = lines[0]["alloc"].integer();
  EXPECT_EQ(lines[0]["bytes"].integer(), 64);
  EXPECT_EQ(lines[1]["alloc"].integer(), first + 1);

  const Json& to_device = lines[2];
  EXPECT_EQ(to_device["dst"]["alloc"].integer(), first);
  EXPECT_EQ(to_device["src"].str(), "host");
  EXPECT_EQ(to_device["kind"].integer(), 1);
  EXPECT_EQ(to_device["digest"].str(), gpu_runtime::common::fnv1a_hex(host.data(), 64));
  const Json& to_host = lines[3];
  EXPECT_EQ(to_host["src"]["alloc"].integer(), first);
  EXPECT_EQ(to_host["src"]["offset"].integer(), 32);
  EXPECT_EQ(to_host["digest"].str(), gpu_runtime::common::fnv1a_hex(host.data() + 8, 32));
  const Json& on_device = lines[4];
  EXPECT_EQ(on_device["dst"]["alloc"].integer(), first + 1);
  EXPECT_EQ(on_device["src"]["offset"].integer(), 16);
  EXPECT_EQ(on_device["digest"].str(), gpu_runtime::common::fnv1a_hex(host.data() + 4, 32));

  EXPECT_EQ(lines[5]["status"].integer(), 1);
  EXPECT_FALSE(lines[5].has("digest"));
  EXPECT_EQ(lines[8]["call"].str(), "cudaFree");
  EXPECT_EQ(lines[8]["ptr"]["alloc"].integer(), first);
  EXPECT_EQ(lines[9]["ptr"].str(), "unknown");  // no longer an allocation
  EXPECT_EQ(lines[9]["status"].integer(), 17);
  cudaFree(b);
}

TEST_F(GpuLayer, TrackerResolvesRangesAgainstTheAllocations) {
  int* buffer = nullptr;  // 256 ints
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&buffer), 1024), cudaSuccess);
  int* other = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&other), 256), cudaSuccess);

  EXPECT_EQ(cudaFlushCTATracker(), cudaSuccess);
  // CTA x names ints 16x .. 16x + 15: over 16 CTAs the whole buffer, once.
  EXPECT_EQ(cudaSetCTATracker(buffer, 4, 16, 0, 0, 0, 16, 0, 0, 16), cudaSuccess);
  // Every CTA names ints 250 .. 259, four of them past the end.
  EXPECT_EQ(cudaSetCTATracker(buffer, 4, 0, 0, 0, 250, 0, 0, 0, 260), cudaSuccess);
  // Resolved against the allocation holding the base, not the whole of memory.
  EXPECT_EQ(cudaSetCTATracker(other + 60, 4, 0, 0, 0, 0, 0, 0, 0, 8), cudaSuccess);

  TraceCursor trace;
  EXPECT_EQ(launchKernel(fillInts, dim3(16, 1, 1), dim3(16, 1, 1), buffer), cudaSuccess);
  std::vector<Json> lines = trace.next();
  ASSERT_EQ(lines.back()["call"].str(), "cudaLaunch");
  const Json& summary = lines.back()["tracker"];
  EXPECT_EQ(summary["registrations"].integer(), 3);
  EXPECT_EQ(summary["ctas"].integer(), 16);
  EXPECT_EQ(summary["bytes"].integer(), 16 * 64 + 16 * 40 + 16 * 32);
  EXPECT_EQ(summary["covered_bytes"].integer(), 1040 + 32);
  EXPECT_EQ(summary["overlap_bytes"].integer(), 40 + 32);
  EXPECT_EQ(summary["out_of_bounds"].integer(), 32);
  EXPECT_EQ(summary["empty"].integer(), 0);

  // Rules that cannot be resolved are kept, and flagged by their status.
  EXPECT_EQ(cudaFlushCTATracker(), cudaSuccess);
  EXPECT_EQ(cudaSetCTATracker(buffer, 0, 0, 0, 0, 0, 0, 0, 0, 1), cudaErrorInvalidValue);
  EXPECT_EQ(cudaSetCTATracker(nullptr, 4, 0, 0, 0, 0, 0, 0, 0, 1), cudaErrorInvalidDevicePointer);
  EXPECT_EQ(cudaSetCTATracker(buffer, 4, 1, 0, 0, 0, 0, 0, 0, 1), cudaSuccess);  // empty from CTA 1 on
  EXPECT_EQ(launchKernel(fillInts, dim3(4, 1, 1), dim3(16, 1, 1), buffer), cudaSuccess);
  lines = trace.next();
  const Json& flagged = lines.back()["tracker"];
  EXPECT_EQ(flagged["registrations"].integer(), 3);
  EXPECT_EQ(flagged["empty"].integer(), 4 + 3);
  EXPECT_EQ(flagged["out_of_bounds"].integer(), 4);

  EXPECT_EQ(cudaFlushCTATracker(), cudaSuccess);
  cudaFree(buffer);
  cudaFree(other);
}

TEST_F(GpuLayer, DeviceCallsPassThroughTraced) {
  TraceCursor trace;
  int count = 0;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  cudaDeviceProp prop;
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  EXPECT_EQ(cudaSetDevice(3), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaThreadSynchronize(), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);

  const std::vector<Json> lines = trace.next();
  EXPECT_EQ(every_call_name(lines), (std::vector<std::string>{"cudaGetDeviceCount", "cudaGetDeviceProperties",
                                                         "cudaSetDevice", "cudaThreadSynchronize",
                                                         "cudaGetLastError"}));
  EXPECT_EQ(lines[0]["count"].integer(), 1);
  EXPECT_EQ(lines[1]["major"].integer(), 9);
  EXPECT_EQ(lines[2]["device"].integer(), 3);
  EXPECT_EQ(lines[2]["status"].integer(), 101);
  EXPECT_EQ(lines[4]["status"].integer(), 101);
}

TEST_F(GpuLayer, KernelTimesAreWrittenOnceTheHostHasWaited) {
  const char* path = std::getenv("CUDART_KERNEL_TIMES");
  ASSERT_NE(path, nullptr) << "run this test with CUDART_KERNEL_TIMES set";
  int* buffer = nullptr;
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&buffer), 64), cudaSuccess);
  ASSERT_EQ(cudaThreadSynchronize(), cudaSuccess);  // writes what earlier tests launched
  const size_t before = test_helpers::split_lines(test_helpers::read_file(path)).size();

  EXPECT_EQ(launchKernel(fillInts, dim3(4, 1, 1), dim3(4, 1, 1), buffer), cudaSuccess);
  fake_vendor::set_launch_status(cudaErrorInvalidConfiguration);  // not launched: no time
  EXPECT_EQ(launchKernel(fillInts, dim3(4, 1, 1), dim3(4096, 1, 1), buffer), cudaSuccess);
  fake_vendor::set_launch_status(0);
  EXPECT_EQ(launchKernel(mixedParameters, dim3(2, 3, 1), dim3(8, 1, 1), 1, reinterpret_cast<float*>(buffer), 1, 1.0f),
            cudaSuccess);
  EXPECT_EQ(test_helpers::split_lines(test_helpers::read_file(path)).size(), before);  // nothing waited for yet

  int host[16];
  EXPECT_EQ(cudaMemcpy(host, buffer, 64, cudaMemcpyDeviceToHost), cudaSuccess);
  const std::vector<std::string> lines = test_helpers::split_lines(test_helpers::read_file(path));
  ASSERT_EQ(lines.size(), before + 2);
  const Json first = Json::parse(lines[before]);
  EXPECT_EQ(first["kernel"].str(), "_Z8fillIntsPi");
  EXPECT_EQ(first["grid"].integers(), (std::vector<long long>{4, 1, 1}));
  EXPECT_EQ(first["block"].integers(), (std::vector<long long>{4, 1, 1}));
  EXPECT_DOUBLE_EQ(first["ms"].number(), 0.25);
  const Json second = Json::parse(lines[before + 1]);
  EXPECT_EQ(second["kernel"].str(), "_Z15mixedParametersiPfif");
  EXPECT_EQ(second["grid"].integers(), (std::vector<long long>{2, 3, 1}));
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  cudaFree(buffer);
}

// Run in a process of its own by the test below (GPU_LAYER_ACTIVITY_RUN set):
// launches and copies whose profile and timeline that test reads.
TEST(GpuLayerActivityRun, LaunchesAndCopies) {
  if (!std::getenv("GPU_LAYER_ACTIVITY_RUN")) GTEST_SKIP() << "run by GpuLayerActivity in a process of its own";
  fake_vendor::declare_parameters(reinterpret_cast<const void*>(fillInts), {{0, 8}});
  int* buffer = nullptr;
  int host[16] = {};
  ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&buffer), sizeof host), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(buffer, host, sizeof host, cudaMemcpyHostToDevice), cudaSuccess);
  ASSERT_EQ(launchKernel(fillInts, dim3(4, 1, 1), dim3(4, 1, 1), buffer), cudaSuccess);
  ASSERT_EQ(launchKernel(fillInts, dim3(4, 1, 1), dim3(4, 1, 1), buffer), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(host, buffer, sizeof host, cudaMemcpyDeviceToHost), cudaSuccess);
  ASSERT_EQ(launchKernel(fillInts, dim3(2, 1, 1), dim3(8, 1, 1), buffer), cudaSuccess);  // waited for at exit
  ASSERT_EQ(cudaFree(buffer), cudaSuccess);
}

// The GPU build's profile and timeline: launches timed by their events (a
// quarter of a millisecond each on the fake device), copies with their bytes,
// every traced call counted.
TEST(GpuLayerActivity, ProfileAndTimelineCountWhatTheTraceShows) {
  test_helpers::TempDir dir;
  const auto result = test_helpers::run_program(
      std::filesystem::read_symlink("/proc/self/exe"), {"--gtest_filter=GpuLayerActivityRun.*"}, dir.path(),
      {{"GPU_LAYER_ACTIVITY_RUN", "1"}, {"CUDART_KERNEL_TIMES", ""},
       {"CUDART_TRACE", (dir / "trace.jsonl").string()}, {"CUDART_PROFILE", (dir / "profile.txt").string()},
       {"CUDART_TIMELINE", (dir / "timeline.json").string()}});
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  const std::string profile = test_helpers::read_file(dir / "profile.txt");
  EXPECT_TRUE(std::regex_search(profile, std::regex(R"(\n +\S+ +750\.000us +3 +250\.000us +250\.000us +)"
                                                    R"(250\.000us +4x1x1 +4x1x1 +- +fillInts\(int\*\)\n)")))
      << profile;
  EXPECT_TRUE(std::regex_search(profile, std::regex(R"(\n +\S+ +\S+ +1 +64 +\S+ +host to device\n)"))) << profile;
  EXPECT_TRUE(std::regex_search(profile, std::regex(R"(\n +\S+ +\S+ +1 +64 +\S+ +device to host\n)"))) << profile;
  EXPECT_NE(profile.find("peak 64 bytes"), std::string::npos) << profile;
  std::map<std::string, int> traced;
  for (const Json& line : test_helpers::read_trace((dir / "trace.jsonl").string()))
    if (line.has("call")) ++traced[line["call"].str()];
  for (const auto& [call, count] : traced)
    EXPECT_TRUE(std::regex_search(profile, std::regex(" " + std::to_string(count) + " +\\S+ +" + call + "\n")))
        << call << " " << count << "\n" << profile;

  const Json timeline = Json::parse(test_helpers::read_file(dir / "timeline.json"));
  int launches = 0, copies = 0;
  for (const Json& e : timeline.array()) {
    if (e["ph"].str() != "X") continue;
    if (e["cat"].str() == "launch") {
      EXPECT_EQ(e["args"]["launch"].integer(), launches++);
      EXPECT_EQ(e["args"]["kernel"].str(), "_Z8fillIntsPi");
      EXPECT_DOUBLE_EQ(e["dur"].number(), 250.0);
    }
    if (e["cat"].str() == "copy") {
      EXPECT_EQ(e["args"]["bytes"].integer(), 64);
      ++copies;
    }
  }
  EXPECT_EQ(launches, 3);
  EXPECT_EQ(copies, 2);
}

// Checked calls print the runtime's message: the vendor's and the CPU
// device's must read the same for every status either can return.
TEST(GpuRuntimeMessages, AreTheCpuDevicesMessages) {
  for (int status : {0, 1, 2, 3, 9, 17, 21, 35, 52, 98, 100, 101, 700, 719})
    EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(status)), gpu_runtime::common::status_text(status))
        << "status " << status;
}

}  // namespace
