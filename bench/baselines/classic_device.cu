// classic_device: classic shared-memory kernels on the CPU device, launched in
// this process through the runtime's public API and timed launch to
// synchronisation (see classic_input.h for the command line):
//
// - reduce: a tree reduction per block of 256 floats, the barrier in the loop;
// - matmul: a matrix multiply over 16 x 16 shared tiles, barriers in the loop
//   over tiles;
// - scan:   block scans by step doubling, 1024 ints a block, then the scan
//   of the block sums (the same way, level by level), then every block
//   adds the sums of the blocks before it.
#include <string>
#include <vector>

#include "baseline_common.h"
#include "classic_input.h"
#include "gpu_runtime.h"  // last: the kernel dialect's macros

// sums[b] = the sum of block b's 256 floats, halving the active threads at
// every level.
__global__ void reduce_blocks(const float* in, float* sums) {
  __shared__ float partial[bench::kReduceBlock];
  const unsigned t = threadIdx.x;
  partial[t] = in[blockIdx.x * blockDim.x + t];
  __syncthreads();
  for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
    if (t < s) partial[t] += partial[t + s];
    __syncthreads();
  }
  if (t == 0) sums[blockIdx.x] = partial[0];
}

constexpr int kTile = bench::kMatmulTile;

// c = a * b for n x n matrices, n a multiple of kTile; one thread per element
// of c in kTile x kTile blocks, each tile of a and b staged in shared memory.
__global__ void matmul_tiles(const float* a, const float* b, float* c, int n) {
  __shared__ float a_tile[kTile][kTile];
  __shared__ float b_tile[kTile][kTile];
  const int tx = threadIdx.x, ty = threadIdx.y;
  const int row = blockIdx.y * kTile + ty, col = blockIdx.x * kTile + tx;
  float sum = 0.0f;
  for (int tile = 0; tile < n / kTile; ++tile) {
    a_tile[ty][tx] = a[row * n + tile * kTile + tx];
    b_tile[ty][tx] = b[(tile * kTile + ty) * n + col];
    __syncthreads();
    for (int k = 0; k < kTile; ++k) sum += a_tile[ty][k] * b_tile[k][tx];
    __syncthreads();
  }
  c[row * n + col] = sum;
}

// Inclusive scan of each block's blockDim.x ints of the n in `in` (in place
// when out is in) by step doubling, between two shared buffers that swap
// roles at every step; block_sums gets each block's total. At most 1024
// threads a block.
__global__ void scan_block(const int* in, int* out, int* block_sums, int n) {
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
  if (t == blockDim.x - 1) block_sums[blockIdx.x] = buffer[from][t];
}

// Adds to each int of block b the scanned sums of the blocks before it.
__global__ void add_block_sums(int* out, const int* scanned_sums, int n) {
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  if (blockIdx.x > 0 && i < (unsigned)n) out[i] += scanned_sums[blockIdx.x - 1];
}

constexpr unsigned kScanBlock = 1024;

GPU_DEVICE_CODE(GPU_KERNEL(reduce_blocks, "_Z13reduce_blocksPKfPf"),
                GPU_KERNEL(matmul_tiles, "_Z12matmul_tilesPKfS0_Pfi"),
                GPU_KERNEL(scan_block, "_Z10scan_blockPKiPiS1_i"),
                GPU_KERNEL(add_block_sums, "_Z14add_block_sumsPiPKii"))

namespace {

constexpr const char* kName = "classic_device";

void check(cudaError_t status, const char* what) {
  if (status != cudaSuccess) bench::fail(kName, std::string(what) + ": " + cudaGetErrorString(status));
}

template <typename T>
T* to_device(const std::vector<T>& host) {
  T* p = nullptr;
  check(cudaMalloc((void**)&p, host.size() * sizeof(T)), "cudaMalloc");
  check(cudaMemcpy(p, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice), "cudaMemcpy to the device");
  return p;
}

template <typename T>
T* device_buffer(size_t count) {
  T* p = nullptr;
  check(cudaMalloc((void**)&p, count * sizeof(T)), "cudaMalloc");
  return p;
}

template <typename T>
std::vector<T> to_host(const T* device, size_t count) {
  std::vector<T> host(count);
  check(cudaMemcpy(host.data(), device, count * sizeof(T), cudaMemcpyDeviceToHost), "cudaMemcpy to the host");
  return host;
}

unsigned blocks_for(size_t n) { return unsigned((n + kScanBlock - 1) / kScanBlock); }

// Scans n ints of `in` into `out`: block scans, then (recursively) the scan
// of the block sums in sums[level], then the add. sums holds a buffer for
// every level.
void scan(const int* in, int* out, size_t n, int* const* sums, int level = 0) {
  const unsigned blocks = blocks_for(n);
  launchKernel(scan_block, dim3(blocks), dim3(kScanBlock), in, out, sums[level], int(n));
  if (blocks == 1) return;
  scan(sums[level], sums[level], blocks, sums, level + 1);
  launchKernel(add_block_sums, dim3(blocks), dim3(kScanBlock), out, sums[level], int(n));
}

// Runs `launch` once untimed, then `repeat` times timed to synchronisation;
// reports the median.
template <typename Launch>
void time_launches(long repeat, Launch launch) {
  launch();
  check(cudaThreadSynchronize(), "the untimed launch");
  std::vector<double> times;
  for (long r = 0; r < repeat; ++r) {
    const auto start = bench::Clock::now();
    launch();
    cudaThreadSynchronize();
    times.push_back(bench::ms_between(start, bench::Clock::now()));
  }
  check(cudaGetLastError(), "a timed launch");
  bench::report("time_ms", bench::median(times));
}

}  // namespace

int main(int argc, char** argv) {
  const bench::ClassicRun run = bench::parse_classic_run(argc, argv, kName);
  const size_t n = size_t(run.size);
  switch (run.kernel) {
    case bench::Classic::Reduce: {
      const float* in = to_device(bench::classic_floats(n, 1));
      const size_t blocks = n / bench::kReduceBlock;
      float* sums = device_buffer<float>(blocks);
      time_launches(run.repeat,
                    [&] { launchKernel(reduce_blocks, dim3(unsigned(blocks)), dim3(bench::kReduceBlock), in, sums); });
      bench::report("digest", bench::digest_of(to_host(sums, blocks)));
      cudaFree((void*)in);
      cudaFree(sums);
      break;
    }
    case bench::Classic::Matmul: {
      const float* a = to_device(bench::classic_floats(n * n, 2));
      const float* b = to_device(bench::classic_floats(n * n, 3));
      float* c = device_buffer<float>(n * n);
      const dim3 grid(unsigned(n / kTile), unsigned(n / kTile)), block(kTile, kTile);
      time_launches(run.repeat, [&] { launchKernel(matmul_tiles, grid, block, a, b, c, int(n)); });
      bench::report("digest", bench::digest_of(to_host(c, n * n)));
      cudaFree((void*)a);
      cudaFree((void*)b);
      cudaFree(c);
      break;
    }
    case bench::Classic::Scan: {
      const int* in = to_device(bench::classic_ints(n, 4));
      int* out = device_buffer<int>(n);
      std::vector<int*> sums;
      for (size_t count = n; count > 1 || sums.empty();) {
        count = blocks_for(count);
        sums.push_back(device_buffer<int>(count));
      }
      time_launches(run.repeat, [&] { scan(in, out, n, sums.data()); });
      bench::report("digest", bench::digest_of(to_host(out, n)));
      cudaFree((void*)in);
      cudaFree(out);
      for (int* level : sums) cudaFree(level);
      break;
    }
  }
  return 0;
}
