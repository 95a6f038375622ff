// The runtime's side of the kernel dialect (gpu_runtime/device.h) for code
// that runs a GPU thread at a time: built-in indices, barriers and shared
// memory of the running thread. Block functions never call these; the
// compiler gave them all of it as values.
#include "block_runner.h"
#include "thread_state.h"

using gpu_runtime::cpu::BlockRunner;
using gpu_runtime::cpu::running_thread;

namespace {

int block_barrier(int predicate, int line) {
  BlockRunner* runner = BlockRunner::current();
  // Outside a kernel there is no block to wait for.
  return runner ? runner->barrier(predicate, line) : predicate != 0;
}

unsigned block_threads() {
  const auto& d = running_thread.block_dim;
  return d.x * d.y * d.z;
}

}  // namespace

extern "C" {

unsigned __gpu_thread_idx_x() { return running_thread.thread.x; }
unsigned __gpu_thread_idx_y() { return running_thread.thread.y; }
unsigned __gpu_thread_idx_z() { return running_thread.thread.z; }
unsigned __gpu_block_idx_x() { return running_thread.block.x; }
unsigned __gpu_block_idx_y() { return running_thread.block.y; }
unsigned __gpu_block_idx_z() { return running_thread.block.z; }
unsigned __gpu_block_dim_x() { return running_thread.block_dim.x; }
unsigned __gpu_block_dim_y() { return running_thread.block_dim.y; }
unsigned __gpu_block_dim_z() { return running_thread.block_dim.z; }
unsigned __gpu_grid_dim_x() { return running_thread.grid_dim.x; }
unsigned __gpu_grid_dim_y() { return running_thread.grid_dim.y; }
unsigned __gpu_grid_dim_z() { return running_thread.grid_dim.z; }

void __gpu_syncthreads(int line) { block_barrier(0, line); }
int __gpu_syncthreads_count(int predicate, int line) { return block_barrier(predicate, line); }
int __gpu_syncthreads_and(int predicate, int line) {
  return unsigned(block_barrier(predicate, line)) == block_threads();
}
int __gpu_syncthreads_or(int predicate, int line) { return block_barrier(predicate, line) != 0; }

void* __gpu_shared_memory() { return running_thread.shared; }
void* __gpu_dynamic_shared_memory() { return running_thread.dynamic_shared; }
}
