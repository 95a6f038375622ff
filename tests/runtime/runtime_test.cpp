// The CPU device runtime through its public API: launches, barriers,
// memory checks, device queries, refusals and the timer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <cstdint>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "cutil_timer.h"
#include "kernels_under_test.h"

namespace {

template <typename T>
struct DeviceBuffer {
  explicit DeviceBuffer(size_t count) : count(count) {
    EXPECT_EQ(cudaMalloc(reinterpret_cast<void**>(&ptr), count * sizeof(T)), cudaSuccess);
  }
  ~DeviceBuffer() { cudaFree(ptr); }
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;
  void upload(const std::vector<T>& host) {
    ASSERT_EQ(cudaMemcpy(ptr, host.data(), count * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
  }
  std::vector<T> download() const {
    std::vector<T> host(count);
    EXPECT_EQ(cudaMemcpy(host.data(), ptr, count * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
    return host;
  }
  T* ptr = nullptr;
  size_t count;
};

TEST(Launch, BarrierFreeKernelCoversEveryThreadOfManyBlocks) {
  const int n = 1 << 20;
  std::vector<int> in(n);
  std::iota(in.begin(), in.end(), -1000);
  DeviceBuffer<int> d_in(n), d_out(n);
  d_in.upload(in);
  ASSERT_EQ(launchKernel(scale_kernel, dim3(n / 256), dim3(256), d_in.ptr, d_out.ptr, n), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<int> out = d_out.download();
  for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], in[i] * 2 + 1) << "element " << i;
}

TEST(Launch, PartialLastBlockAndOddBlockSizes) {
  for (int block : {1, 7, 33, 1024}) {
    const int n = 5000;
    std::vector<int> in(n, 3);
    DeviceBuffer<int> d_in(n), d_out(n + 1);
    d_in.upload(in);
    d_out.upload(std::vector<int>(n + 1, -7));
    launchKernel(scale_kernel, dim3((n + block - 1) / block), dim3(block), d_in.ptr, d_out.ptr, n);
    const std::vector<int> out = d_out.download();
    EXPECT_EQ(std::count(out.begin(), out.begin() + n, 7), n) << "block " << block;
    EXPECT_EQ(out[n], -7) << "threads past n must not write";
  }
}

TEST(Launch, EveryThreadSeesItsOwnIndicesIn3DGeometry) {
  const dim3 grid(3, 2, 2), block(4, 3, 2);
  const unsigned threads = 3 * 2 * 2 * 4 * 3 * 2;
  DeviceBuffer<unsigned> d_out(threads * 6);
  launchKernel(index_probe_kernel, grid, block, d_out.ptr);
  const std::vector<unsigned> out = d_out.download();
  std::set<std::vector<unsigned>> seen;
  for (unsigned i = 0; i < threads; ++i) {
    std::vector<unsigned> slot(out.begin() + 6 * i, out.begin() + 6 * i + 6);
    EXPECT_LT(slot[0], 4u);
    EXPECT_LT(slot[1], 3u);
    EXPECT_LT(slot[2], 2u);
    EXPECT_LT(slot[3], 3u);
    EXPECT_LT(slot[4], 2u);
    EXPECT_LT(slot[5], 2u);
    seen.insert(slot);
  }
  EXPECT_EQ(seen.size(), threads) << "each thread must see a distinct index pair";
}

TEST(Launch, ArgumentsOfMixedSizesArriveIntact) {
  DeviceBuffer<int> d_i(3);
  DeviceBuffer<long long> d_ll(1);
  launchKernel(echo_kernel, dim3(1), dim3(1), 'x', 2.75, d_i.ptr, 1.5f, d_ll.ptr, -1234567890123LL);
  const std::vector<int> ints = d_i.download();
  EXPECT_EQ(ints, (std::vector<int>{'x', 11, 12}));
  EXPECT_EQ(d_ll.download()[0], -1234567890123LL);
}

TEST(Launch, ParametersOfTheSystemKernelsSitAtTheNextMultipleOfTheirSize) {
  using gpu_runtime::detail::ArgLayout;
  using Ints = ArgLayout<int*, int*, int>;
  EXPECT_EQ((std::vector<size_t>(Ints::at.begin(), Ints::at.end())), (std::vector<size_t>{0, 8, 16, 20}));
  using Layer = ArgLayout<float*, float*, float*>;
  EXPECT_EQ((std::vector<size_t>(Layer::at.begin(), Layer::at.end())), (std::vector<size_t>{0, 8, 16, 24}));
  using Search = ArgLayout<NodeRecord*, int*, bool*, bool*, int*, bool*, int>;
  EXPECT_EQ((std::vector<size_t>(Search::at.begin(), Search::at.end())),
            (std::vector<size_t>{0, 8, 16, 24, 32, 40, 48, 52}));
  using Diffusion1 = ArgLayout<float*, float*, float*, float*, float*, float*, int, int, float>;
  EXPECT_EQ((std::vector<size_t>(Diffusion1::at.begin(), Diffusion1::at.end())),
            (std::vector<size_t>{0, 8, 16, 24, 32, 40, 48, 52, 56, 60}));
  using Diffusion2 = ArgLayout<float*, float*, float*, float*, float*, float*, int, int, float, float>;
  EXPECT_EQ((std::vector<size_t>(Diffusion2::at.begin(), Diffusion2::at.end())),
            (std::vector<size_t>{0, 8, 16, 24, 32, 40, 48, 52, 56, 60, 64}));
  using Mixed = ArgLayout<char, double, int*, float, long long*, long long>;
  EXPECT_EQ((std::vector<size_t>(Mixed::at.begin(), Mixed::at.end())),
            (std::vector<size_t>{0, 8, 16, 24, 32, 40, 48}));
}

TEST(Barrier, ReversesEachBlockThroughSharedMemoryOverManyBlocks) {
  const int blocks = 600, n = blocks * 256;
  std::vector<int> data(n);
  std::iota(data.begin(), data.end(), 0);
  DeviceBuffer<int> d(n);
  d.upload(data);
  launchKernel(reverse_block_kernel, dim3(blocks), dim3(256), d.ptr);
  const std::vector<int> out = d.download();
  for (int b = 0; b < blocks; ++b)
    for (int t = 0; t < 256; ++t) ASSERT_EQ(out[b * 256 + t], b * 256 + 255 - t) << "block " << b << " thread " << t;
}

TEST(Barrier, TreeReductionAgreesWithHostSums) {
  const int blocks = 1000, n = blocks * 256;
  std::vector<int> in(n);
  for (int i = 0; i < n; ++i) in[i] = (i * 7919) % 1001 - 500;
  DeviceBuffer<int> d_in(n);
  DeviceBuffer<long long> d_sums(blocks);
  d_in.upload(in);
  launchKernel(block_sum_kernel, dim3(blocks), dim3(256), d_in.ptr, d_sums.ptr);
  const std::vector<long long> sums = d_sums.download();
  for (int b = 0; b < blocks; ++b) {
    const long long expected = std::accumulate(in.begin() + b * 256, in.begin() + (b + 1) * 256, 0LL);
    ASSERT_EQ(sums[b], expected) << "block " << b;
  }
  EXPECT_EQ(cudaThreadSynchronize(), cudaSuccess);
}

// Which stacks the threads of a block ran on, from the addresses of their locals.
TEST(Barrier, LocalsOfEveryThreadSurviveBarriers) {
  const unsigned blocks = 3;
  const dim3 shapes[] = {dim3(128), dim3(7, 5, 3), dim3(1)};
  for (const dim3& shape : shapes) {
    const unsigned threads = shape.x * shape.y * shape.z;
    for (int with_barrier : {0, 1}) {
      DeviceBuffer<int> out(blocks * threads);
      launchKernel(local_probe_kernel, dim3(blocks), shape, out.ptr, with_barrier);
      const std::vector<int> got = out.download();
      for (unsigned b = 0; b < blocks; ++b)
        for (unsigned t = 0; t < threads; ++t) {
          int sum = 0;
          for (unsigned k = 0; k < 4; ++k) sum = sum * 3 + int(t * 4 + b + (k + t) % 4);
          ASSERT_EQ(got[b * threads + t], sum) << "block " << b << " thread " << t << " barrier " << with_barrier;
        }
    }
  }
}

TEST(Barrier, BlockThatDisagreesOnBarriersFailsTheLaunch) {
  DeviceBuffer<int> d(32);
  launchKernel(divergent_barrier_kernel, dim3(1), dim3(32), d.ptr);
  EXPECT_EQ(cudaThreadSynchronize(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaThreadSynchronize(), cudaSuccess) << "the error is reported once";
}

struct Refusal {
  const char* what;
  dim3 grid, block;
};

class LaunchRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(LaunchRefusal, IsInvalidConfigurationReportedByTheNextGetLastError) {
  DeviceBuffer<int> d(4);
  const Refusal& r = GetParam();
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(launchKernel(scale_kernel, r.grid, r.block, d.ptr, d.ptr, 0), cudaSuccess)
      << "configure succeeds; the launch is refused";
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "reading the error resets it";
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LaunchRefusal,
    ::testing::Values(Refusal{"1025 threads", dim3(1), dim3(1025)}, Refusal{"32x33 threads", dim3(1), dim3(32, 33)},
                      Refusal{"block z 65", dim3(1), dim3(1, 1, 65)}, Refusal{"block x 0", dim3(1), dim3(0)},
                      Refusal{"grid x 0", dim3(0), dim3(1)}, Refusal{"grid y 65536", dim3(1, 65536), dim3(1)},
                      Refusal{"grid z 65536", dim3(1, 1, 65536), dim3(1)},
                      Refusal{"grid x 2^31", dim3(2147483648u), dim3(1)}),
    [](const ::testing::TestParamInfo<Refusal>& info) {
      std::string name = info.param.what;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(LaunchRefusal, LargestAllowedGeometryIsAccepted) {
  DeviceBuffer<int> d(4);
  launchKernel(scale_kernel, dim3(1, 65535), dim3(1024), d.ptr, d.ptr, 0);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  launchKernel(scale_kernel, dim3(1), dim3(1, 1, 64), d.ptr, d.ptr, 0);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaThreadSynchronize(), cudaSuccess);
}

void not_registered_kernel(int*) {}

TEST(LaunchRefusal, UnregisteredHostEntryIsAnInvalidDeviceFunction) {
  launchKernel(not_registered_kernel, dim3(1), dim3(1), nullptr);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDeviceFunction);
}

TEST(LaunchRefusal, LaunchWithoutConfigurationIsRefused) {
  EXPECT_NE(cudaLaunch(reinterpret_cast<const void*>(&scale_kernel)), cudaSuccess);
  EXPECT_NE(cudaSetupArgument("x", 1, 0), cudaSuccess);
  cudaGetLastError();
}

TEST(Memory, AllocationsAreAlignedZeroFilledAndDistinct) {
  std::vector<void*> ptrs;
  for (size_t size : {0, 1, 255, 256, 4097, 1 << 20}) {
    void* p = nullptr;
    ASSERT_EQ(cudaMalloc(&p, size), cudaSuccess);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 256, 0u);
    if (size > 0) {
      std::vector<unsigned char> back(size, 0xAB);
      ASSERT_EQ(cudaMemcpy(back.data(), p, size, cudaMemcpyDeviceToHost), cudaSuccess);
      EXPECT_EQ(std::count(back.begin(), back.end(), 0), static_cast<long>(size));
    }
    ptrs.push_back(p);
  }
  EXPECT_EQ(std::set<void*>(ptrs.begin(), ptrs.end()).size(), ptrs.size());
  for (void* p : ptrs) EXPECT_EQ(cudaFree(p), cudaSuccess);
}

TEST(Memory, CopiesMustStayInsideOneLiveAllocation) {
  std::vector<char> host(64, 1);
  char* d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 32), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(d, host.data(), 32, cudaMemcpyHostToDevice), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(d + 16, host.data(), 16, cudaMemcpyHostToDevice), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(d + 16, host.data(), 17, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(host.data(), d, 33, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(host.data(), host.data() + 1, 8, cudaMemcpyDeviceToHost), cudaErrorInvalidValue)
      << "a host address is no device address";
  EXPECT_EQ(cudaMemcpy(d, d + 16, 16, cudaMemcpyDeviceToDevice), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(host.data(), host.data() + 8, 8, cudaMemcpyHostToHost), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(d, host.data(), 8, static_cast<cudaMemcpyKind>(7)), cudaErrorInvalidMemcpyDirection);
  EXPECT_EQ(cudaMemcpy(d, host.data(), 8, cudaMemcpyDefault), cudaErrorInvalidMemcpyDirection);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidMemcpyDirection) << "the last error is the latest one";
  ASSERT_EQ(cudaFree(d), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(d, host.data(), 8, cudaMemcpyHostToDevice), cudaErrorInvalidValue) << "freed";
  cudaGetLastError();
}

TEST(Memory, FreeAcceptsOnlyLiveAllocationBases) {
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  char* d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 100), cudaSuccess);
  EXPECT_EQ(cudaFree(d + 4), cudaErrorInvalidDevicePointer);
  int on_stack = 0;
  EXPECT_EQ(cudaFree(&on_stack), cudaErrorInvalidDevicePointer);
  EXPECT_EQ(cudaFree(d), cudaSuccess);
  EXPECT_EQ(cudaFree(d), cudaErrorInvalidDevicePointer) << "double free";
  cudaGetLastError();
}

TEST(Memory, AllocationBeyondDeviceMemoryIsOutOfMemory) {
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(cudaMalloc(&p, size_t{1} << 40), cudaErrorMemoryAllocation);
  EXPECT_EQ(p, reinterpret_cast<void*>(0x1)) << "the pointer is left alone";
  EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
}

TEST(Device, OneDeviceWithRealisticLimits) {
  int count = -1;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 1);
  cudaDeviceProp prop;
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  EXPECT_GE(prop.major, 1);
  EXPECT_EQ(prop.maxThreadsPerBlock, 1024);
  EXPECT_EQ(prop.maxThreadsDim[0], 1024);
  EXPECT_EQ(prop.maxThreadsDim[2], 64);
  EXPECT_EQ(prop.maxGridSize[0], 2147483647);
  EXPECT_EQ(prop.maxGridSize[1], 65535);
  EXPECT_EQ(prop.sharedMemPerBlock, 48u * 1024);
  EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
}

TEST(Device, OrdinalsOutsideTheDeviceCountAreRefused) {
  cudaDeviceProp prop;
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetDeviceProperties(&prop, -1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaSetDevice(1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

TEST(Status, MessagesAreTheRuntimeTexts) {
  EXPECT_STREQ(cudaGetErrorString(cudaSuccess), "no error");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInitializationError), "initialization error");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevicePointer), "invalid device pointer");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidMemcpyDirection), "invalid copy direction for memcpy");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDeviceFunction), "invalid device function");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorNoDevice), "no CUDA-capable device is detected");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorIllegalAddress), "an illegal memory access was encountered");
  EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
  EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(4242)), "unrecognized error code");
}

TEST(Timer, MeasuresOnlyWhileStartedAndResets) {
  unsigned timer = 0;
  ASSERT_EQ(cutCreateTimer(&timer), CUTTrue);
  EXPECT_EQ(cutGetTimerValue(timer), 0.0f);
  EXPECT_EQ(cutStopTimer(timer), CUTTrue) << "a stop while stopped succeeds";
  ASSERT_EQ(cutStartTimer(timer), CUTTrue);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(cutStopTimer(timer), CUTTrue);
  const float measured = cutGetTimerValue(timer);
  EXPECT_GE(measured, 19.0f);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(cutGetTimerValue(timer), measured) << "a stopped timer does not advance";
  ASSERT_EQ(cutResetTimer(timer), CUTTrue);
  EXPECT_EQ(cutGetTimerValue(timer), 0.0f);
  EXPECT_EQ(cutDeleteTimer(timer), CUTTrue);
}

TEST(Timer, UnknownHandlesFail) {
  unsigned timer = 0;
  ASSERT_EQ(cutCreateTimer(&timer), CUTTrue);
  ASSERT_EQ(cutDeleteTimer(timer), CUTTrue);
  EXPECT_EQ(cutStartTimer(timer), CUTFalse);
  EXPECT_EQ(cutStopTimer(timer), CUTFalse);
  EXPECT_EQ(cutResetTimer(timer), CUTFalse);
  EXPECT_EQ(cutDeleteTimer(timer), CUTFalse);
  EXPECT_EQ(cutGetTimerValue(timer), 0.0f);
  EXPECT_EQ(cutCreateTimer(nullptr), CUTFalse);
}

}  // namespace
