// Classic shared-memory kernels launched through the runtime, each against a
// host reference that does the same arithmetic in the same order, so results
// must match bit for bit: a tree reduction, inclusive scans by step doubling
// and by up-sweep/down-sweep, a matrix multiply over shared tiles, a
// transpose through a padded tile, a histogram privatised per block, a
// stencil with a halo. Their barriers stand in loops and between them, as in
// most CUDA code; ctest runs this binary with block functions and with
// fibers, on one worker and on two.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "device_support.h"

// Tree reduction: each block sums its blockDim.x floats (a power of two),
// halving the active threads at every level.
__global__ void block_reduce(const float* in, float* sums) {
  __shared__ float partial[1024];
  const unsigned t = threadIdx.x;
  partial[t] = in[blockIdx.x * blockDim.x + t];
  __syncthreads();
  for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
    if (t < s) partial[t] += partial[t + s];
    __syncthreads();
  }
  if (t == 0) sums[blockIdx.x] = partial[0];
}

// Inclusive scan of each block's slice by step doubling (Hillis-Steele),
// between two buffers that swap roles at every step. Past n the block scans
// zeros.
__global__ void scan_step_doubling(const int* in, int* out, int n) {
  __shared__ int buffer[2][1024];
  const unsigned t = threadIdx.x;
  const unsigned i = blockIdx.x * blockDim.x + t;
  int from = 0;
  buffer[from][t] = i < (unsigned)n ? in[i] : 0;
  __syncthreads();
  for (unsigned offset = 1; offset < blockDim.x; offset *= 2) {
    const int to = 1 - from;
    buffer[to][t] = t >= offset ? buffer[from][t] + buffer[from][t - offset] : buffer[from][t];
    __syncthreads();
    from = to;
  }
  if (i < (unsigned)n) out[i] = buffer[from][t];
}

// Inclusive scan of 2 * blockDim.x ints per block, work-efficient
// (Blelloch): the up-sweep builds a tree of partial sums in place, the
// down-sweep turns it into the exclusive scan, and each element adds itself.
__global__ void scan_up_down_sweep(const int* in, int* out) {
  __shared__ int tree[2048];
  const unsigned t = threadIdx.x, n = 2 * blockDim.x;
  const unsigned base = blockIdx.x * n;
  tree[2 * t] = in[base + 2 * t];
  tree[2 * t + 1] = in[base + 2 * t + 1];
  unsigned offset = 1;
  for (unsigned d = n / 2; d > 0; d /= 2) {
    __syncthreads();
    if (t < d) tree[offset * (2 * t + 2) - 1] += tree[offset * (2 * t + 1) - 1];
    offset *= 2;
  }
  if (t == 0) tree[n - 1] = 0;
  for (unsigned d = 1; d < n; d *= 2) {
    offset /= 2;
    __syncthreads();
    if (t < d) {
      const unsigned left = offset * (2 * t + 1) - 1, right = offset * (2 * t + 2) - 1;
      const int carried = tree[left];
      tree[left] = tree[right];
      tree[right] += carried;
    }
  }
  __syncthreads();
  out[base + 2 * t] = tree[2 * t] + in[base + 2 * t];
  out[base + 2 * t + 1] = tree[2 * t + 1] + in[base + 2 * t + 1];
}

constexpr int kTile = 16;

// c (rows x cols) = a (rows x inner) * b (inner x cols), one thread per
// element of c in kTile x kTile blocks. The loop over tiles of the inner
// dimension loads a tile of each into shared memory between two barriers;
// past the edges the tiles hold zeros.
__global__ void matmul_tiled(const float* a, const float* b, float* c, int rows, int inner, int cols) {
  __shared__ float a_tile[kTile][kTile];
  __shared__ float b_tile[kTile][kTile];
  const int tx = threadIdx.x, ty = threadIdx.y;
  const int row = blockIdx.y * kTile + ty, col = blockIdx.x * kTile + tx;
  float sum = 0.0f;
  for (int tile = 0; tile < (inner + kTile - 1) / kTile; ++tile) {
    const int ka = tile * kTile + tx, kb = tile * kTile + ty;
    a_tile[ty][tx] = row < rows && ka < inner ? a[row * inner + ka] : 0.0f;
    b_tile[ty][tx] = kb < inner && col < cols ? b[kb * cols + col] : 0.0f;
    __syncthreads();
    for (int k = 0; k < kTile; ++k) sum += a_tile[ty][k] * b_tile[k][tx];
    __syncthreads();
  }
  if (row < rows && col < cols) c[row * cols + col] = sum;
}

constexpr int kTransposeTile = 32, kTransposeRows = 8;

// out (width x height) = the transpose of in (height x width), through a
// shared tile padded by one column; blocks of kTransposeTile x
// kTransposeRows threads each move a whole tile.
__global__ void transpose_padded(const float* in, float* out, int width, int height) {
  __shared__ float tile[kTransposeTile][kTransposeTile + 1];
  int x = blockIdx.x * kTransposeTile + threadIdx.x;
  int y = blockIdx.y * kTransposeTile + threadIdx.y;
  for (int j = 0; j < kTransposeTile; j += kTransposeRows)
    if (x < width && y + j < height) tile[threadIdx.y + j][threadIdx.x] = in[(y + j) * width + x];
  __syncthreads();
  x = blockIdx.y * kTransposeTile + threadIdx.x;
  y = blockIdx.x * kTransposeTile + threadIdx.y;
  for (int j = 0; j < kTransposeTile; j += kTransposeRows)
    if (x < height && y + j < width) out[(y + j) * height + x] = tile[threadIdx.x][threadIdx.y + j];
}

constexpr int kBins = 64;

// Counts data % kBins into bins: each block counts its grid-stride share in
// shared memory with atomics, then adds its counts to the global bins.
__global__ void histogram_private(const unsigned char* data, int n, unsigned* bins) {
  __shared__ unsigned counts[kBins];
  for (int b = threadIdx.x; b < kBins; b += blockDim.x) counts[b] = 0;
  __syncthreads();
  for (int i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += blockDim.x * gridDim.x)
    atomicAdd(&counts[data[i] % kBins], 1u);
  __syncthreads();
  for (int b = threadIdx.x; b < kBins; b += blockDim.x) atomicAdd(&bins[b], counts[b]);
}

constexpr int kRadius = 3;

// A weighted 7-point stencil over a line of n floats, edges clamped: each
// block loads its slice and kRadius neighbours either side into shared
// memory, which its first kRadius threads fetch.
__global__ void stencil_halo(const float* in, float* out, const float* weights, int n) {
  __shared__ float window[1024 + 2 * kRadius];
  const int g = blockIdx.x * blockDim.x + threadIdx.x;
  const int l = threadIdx.x + kRadius;
  const int last = n - 1;
  window[l] = in[g < last ? g : last];
  if (threadIdx.x < kRadius) {
    const int left = g - kRadius, right = g + (int)blockDim.x;
    window[l - kRadius] = in[left > 0 ? left : 0];
    window[l + blockDim.x] = in[right < last ? right : last];
  }
  __syncthreads();
  if (g >= n) return;
  float sum = 0.0f;
  for (int o = -kRadius; o <= kRadius; ++o) sum += weights[o + kRadius] * window[l + o];
  out[g] = sum;
}

GPU_DEVICE_CODE(GPU_KERNEL(block_reduce, "_Z12block_reducePKfPf"),
                GPU_KERNEL(scan_step_doubling, "_Z18scan_step_doublingPKiPii"),
                GPU_KERNEL(scan_up_down_sweep, "_Z18scan_up_down_sweepPKiPi"),
                GPU_KERNEL(matmul_tiled, "_Z12matmul_tiledPKfS0_Pfiii"),
                GPU_KERNEL(transpose_padded, "_Z16transpose_paddedPKfPfii"),
                GPU_KERNEL(histogram_private, "_Z17histogram_privatePKhiPj"),
                GPU_KERNEL(stencil_halo, "_Z12stencil_haloPKfPfS0_i"))

namespace {

using test_helpers::DeviceBuffer;
using test_helpers::expect_elements;
using test_helpers::launch_and_wait;

std::vector<float> random_floats(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-4.0f, 4.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

std::vector<int> random_ints(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(-1000, 1000);
  std::vector<int> v(n);
  for (int& x : v) x = dist(gen);
  return v;
}

TEST(ClassicKernels, EachRunsAsABlockFunctionOfSeveralRegions) {
  using test_helpers::form_of;
  const std::pair<const char*, const gpu_runtime::KernelForm*> forms[] = {
      {"block_reduce", &form_of<&block_reduce>()},
      {"scan_step_doubling", &form_of<&scan_step_doubling>()},
      {"scan_up_down_sweep", &form_of<&scan_up_down_sweep>()},
      {"matmul_tiled", &form_of<&matmul_tiled>()},
      {"transpose_padded", &form_of<&transpose_padded>()},
      {"histogram_private", &form_of<&histogram_private>()},
      {"stencil_halo", &form_of<&stencil_halo>()},
  };
  for (const auto& [name, form] : forms) {
    EXPECT_NE(form->block, nullptr) << name << " runs on fibers: " << (form->reason ? form->reason : "");
    EXPECT_STREQ(form->form, "region loops") << name;
  }
}

class BlockReduce : public ::testing::TestWithParam<unsigned> {};

TEST_P(BlockReduce, SumsEachBlockInTheTreesOrder) {
  const unsigned threads = GetParam(), blocks = 37;
  const std::vector<float> in = random_floats(size_t{threads} * blocks, threads);
  DeviceBuffer<float> d_in(in), d_sums(blocks);
  ASSERT_EQ(launch_and_wait(block_reduce, dim3(blocks), dim3(threads), d_in.get(), d_sums.get()), cudaSuccess);
  std::vector<float> expected(blocks);
  for (unsigned b = 0; b < blocks; ++b) {
    std::vector<float> partial(in.begin() + b * threads, in.begin() + (b + 1) * threads);
    for (unsigned s = threads / 2; s > 0; s >>= 1)
      for (unsigned t = 0; t < s; ++t) partial[t] += partial[t + s];
    expected[b] = partial[0];
  }
  expect_elements(d_sums.download(), expected, "block sums");
}

INSTANTIATE_TEST_SUITE_P(Threads, BlockReduce, ::testing::Values(1u, 32u, 256u, 1024u));

// Inclusive scan of each block's `width` elements, on the host.
std::vector<int> scanned_per_block(const std::vector<int>& in, size_t width) {
  std::vector<int> out(in.size());
  for (size_t i = 0; i < in.size(); ++i) out[i] = in[i] + (i % width ? out[i - 1] : 0);
  return out;
}

class InclusiveScan : public ::testing::TestWithParam<unsigned> {};

TEST_P(InclusiveScan, StepDoublingMatchesARunningSum) {
  const unsigned threads = GetParam(), blocks = 9;
  const int n = int(threads * blocks) - int(threads / 3);  // the last block runs past the end
  const std::vector<int> in = random_ints(size_t(n), threads);
  DeviceBuffer<int> d_in(in), d_out(in.size());
  ASSERT_EQ(launch_and_wait(scan_step_doubling, dim3(blocks), dim3(threads), d_in.get(), d_out.get(), n), cudaSuccess);
  expect_elements(d_out.download(), scanned_per_block(in, threads), "step-doubling scan");
}

TEST_P(InclusiveScan, UpSweepDownSweepMatchesARunningSum) {
  const unsigned threads = GetParam(), blocks = 9;
  const std::vector<int> in = random_ints(size_t{2} * threads * blocks, threads + 1);
  DeviceBuffer<int> d_in(in), d_out(in.size());
  ASSERT_EQ(launch_and_wait(scan_up_down_sweep, dim3(blocks), dim3(threads), d_in.get(), d_out.get()), cudaSuccess);
  expect_elements(d_out.download(), scanned_per_block(in, size_t{2} * threads), "up-sweep/down-sweep scan");
}

INSTANTIATE_TEST_SUITE_P(Threads, InclusiveScan, ::testing::Values(1u, 2u, 64u, 256u, 1024u));

struct MatrixShape {
  int rows, inner, cols;
};

class MatmulTiled : public ::testing::TestWithParam<MatrixShape> {};

TEST_P(MatmulTiled, MatchesAHostLoopOverTheSameTiles) {
  const auto [rows, inner, cols] = GetParam();
  const std::vector<float> a = random_floats(size_t(rows) * inner, 1), b = random_floats(size_t(inner) * cols, 2);
  DeviceBuffer<float> d_a(a), d_b(b), d_c(size_t(rows) * cols);
  const dim3 grid((cols + kTile - 1) / kTile, (rows + kTile - 1) / kTile);
  ASSERT_EQ(launch_and_wait(matmul_tiled, grid, dim3(kTile, kTile), d_a.get(), d_b.get(), d_c.get(), rows, inner, cols),
            cudaSuccess);
  // The kernel's order: k ascending, with zero products past the inner edge.
  const int padded = (inner + kTile - 1) / kTile * kTile;
  std::vector<float> c(size_t(rows) * cols);
  for (int r = 0; r < rows; ++r)
    for (int col = 0; col < cols; ++col) {
      float sum = 0.0f;
      for (int k = 0; k < padded; ++k)
        sum += (k < inner ? a[r * inner + k] : 0.0f) * (k < inner ? b[k * cols + col] : 0.0f);
      c[size_t(r) * cols + col] = sum;
    }
  expect_elements(d_c.download(), c, "product");
}

INSTANTIATE_TEST_SUITE_P(Shapes, MatmulTiled,
                         ::testing::Values(MatrixShape{64, 64, 64}, MatrixShape{48, 80, 32}, MatrixShape{37, 21, 50},
                                           MatrixShape{1, 5, 1}),
                         [](const auto& info) {
                           const MatrixShape& s = info.param;
                           return std::to_string(s.rows) + "x" + std::to_string(s.inner) + "x" + std::to_string(s.cols);
                         });

TEST(TransposePadded, MovesEveryElementOfMatricesThatEndMidTile) {
  for (const auto& [width, height] : {std::pair{64, 64}, std::pair{100, 70}, std::pair{1, 33}, std::pair{45, 1}}) {
    const std::vector<float> in = random_floats(size_t(width) * height, unsigned(width * height));
    DeviceBuffer<float> d_in(in), d_out(in.size());
    const dim3 grid((width + kTransposeTile - 1) / kTransposeTile, (height + kTransposeTile - 1) / kTransposeTile);
    ASSERT_EQ(launch_and_wait(transpose_padded, grid, dim3(kTransposeTile, kTransposeRows), d_in.get(), d_out.get(),
                              width, height),
              cudaSuccess);
    std::vector<float> expected(in.size());
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) expected[size_t(x) * height + y] = in[size_t(y) * width + x];
    expect_elements(d_out.download(), expected, std::to_string(width) + "x" + std::to_string(height));
  }
}

TEST(HistogramPrivate, CountsEveryValueWithFewerAndMoreThreadsThanBins) {
  const int n = 100003;
  std::mt19937 gen(7);
  std::vector<unsigned char> spread(n), skewed(n, 200);
  for (unsigned char& v : spread) v = (unsigned char)(gen() & 0xff);
  for (int i = 0; i < n; i += 97) skewed[i] = (unsigned char)i;
  for (const std::vector<unsigned char>* data : {&spread, &skewed})
    for (unsigned threads : {32u, 256u}) {
      DeviceBuffer<unsigned char> d_data(*data);
      DeviceBuffer<unsigned> d_bins(std::vector<unsigned>(kBins, 0));
      ASSERT_EQ(launch_and_wait(histogram_private, dim3(13), dim3(threads), d_data.get(), n, d_bins.get()),
                cudaSuccess);
      std::vector<unsigned> expected(kBins, 0);
      for (unsigned char v : *data) expected[v % kBins]++;
      expect_elements(
          d_bins.download(), expected,
          std::string(data == &spread ? "spread" : "skewed") + " data, " + std::to_string(threads) + " threads");
    }
}

TEST(StencilHalo, WeighsSevenNeighboursWithClampedEdges) {
  const std::vector<float> weights = {0.125f, -0.5f, 0.75f, 1.0f, 0.75f, -0.5f, 0.125f};
  for (const auto& [n, threads] :
       {std::pair{1000, 128u}, std::pair{1024, 1024u}, std::pair{5, 4u}, std::pair{77, 3u}}) {
    const std::vector<float> in = random_floats(size_t(n), unsigned(n));
    DeviceBuffer<float> d_in(in), d_out(in.size()), d_weights(weights);
    ASSERT_EQ(launch_and_wait(stencil_halo, dim3((unsigned(n) + threads - 1) / threads), dim3(threads), d_in.get(),
                              d_out.get(), d_weights.get(), n),
              cudaSuccess);
    std::vector<float> expected(in.size());
    for (int g = 0; g < n; ++g) {
      float sum = 0.0f;
      for (int o = -kRadius; o <= kRadius; ++o) sum += weights[o + kRadius] * in[std::clamp(g + o, 0, n - 1)];
      expected[g] = sum;
    }
    expect_elements(d_out.download(), expected,
                    std::to_string(n) + " elements, " + std::to_string(threads) + " threads");
  }
}

}  // namespace
