// Kernel shapes whose threads a block function could mix up, one table row
// each, every one against what the kernel as written computes: parameters
// and locals that change where their values live across a barrier, values
// read from memory before another thread changes it, addresses of locals,
// names that mean what they mean where the kernel is written, returns after
// barriers, blocks and grids of odd shapes, and a barrier the compiler
// cannot see. ctest runs this binary with block functions and with fibers,
// on one worker and on two.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "device_support.h"

// Every kernel writes one value per thread into out at the thread's place in
// the launch: x fastest, then the block's y and z, then the grid's x, y, z.
#define PLACE                                                                                                   \
  ((((blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x) * blockDim.z + threadIdx.z) * blockDim.y * \
       blockDim.x +                                                                                             \
   threadIdx.y * blockDim.x + threadIdx.x)

// ---- Parameters are each thread's own

struct Window {
  int lo, hi;
  __device__ void grow(int by) { hi += by; }
};

// out = 11 + t: each thread widens its own copy of the window, through a
// member and a member function.
__global__ void parameter_member(Window w, long long* out) {
  w.hi += threadIdx.x;
  w.grow(1);
  __syncthreads();
  out[PLACE] = w.hi - w.lo;
}

__device__ void add_thread_index(int& v) { v += threadIdx.x; }

// out = base + t: the thread's base changes through a reference to it.
__global__ void parameter_by_reference(int base, long long* out) {
  add_thread_index(base);
  __syncthreads();
  out[PLACE] = base;
}

// out = base + t + other: the reference is bound through a conditional.
__global__ void parameter_through_a_conditional(int base, int other, long long* out) {
  add_thread_index(threadIdx.x < 2048 ? base : other);
  __syncthreads();
  out[PLACE] = base + other;
}

struct IntRef {
  int& r;
};
__device__ void increment(IntRef ref) { ref.r += 1; }
typedef int& int_ref;
__device__ void add_one(int_ref v) { v += 1; }

// out = base + 4: the thread's base changes through a reference member of a
// braced argument, a typedef's reference, a cast to it and a parameter of it.
__global__ void parameter_through_hidden_references(int base, long long* out) {
  increment({base});
  int_ref r = base;
  r += 1;
  ((int_ref)base) += 1;
  add_one((int_ref)base);
  __syncthreads();
  out[PLACE] = base;
}

// out = in[0] * 1000 + in[1]: each thread moves its own copy of in.
__global__ void parameter_post_incremented(const int* in, long long* out) {
  const int first = *in++;
  __syncthreads();
  out[PLACE] = first * 1000LL + *in;
}

// out = rows[1][1]: each thread moves its own copy of rows by one row.
__global__ void parameter_rows_advanced(int (*rows)[4], long long* out) {
  rows += 1;
  __syncthreads();
  out[PLACE] = rows[0][1];
}

// out = n + t: through a pointer to the thread's own parameter.
__global__ void parameter_address_taken(int n, long long* out) {
  int* p = &n;
  *p += threadIdx.x;
  __syncthreads();
  out[PLACE] = *p;
}

struct Big {
  int v[300];
};

// out = 7t + 3 with big.v[k] = 3k: a by-value struct over 1 KiB is each
// thread's own, changed by its thread only.
__global__ void parameter_big_struct(Big big, long long* out) {
  const unsigned t = threadIdx.x;
  big.v[t] += t;
  __syncthreads();
  out[PLACE] = big.v[t] + big.v[t + 1];
}

__device__ int constness(int&) { return 1; }
__device__ int constness(const int&) { return 2; }

// out = 221 + 3t: const parameters and locals kept across a barrier still
// pick the const overload, plain ones the other.
__global__ void const_overloads(const int n, long long* out) {
  const int v = 3 * threadIdx.x;
  int plain = n;
  __syncthreads();
  out[PLACE] = constness(n) * 100 + constness(v) * 10 + constness(plain) + v;
}

// ---- Locals keep what they hold across a barrier

// out = t + 10: a member of a copy of threadIdx changes.
__global__ void local_member_changed(long long* out) {
  uint3 p = threadIdx;
  p.x += 10u;
  __syncthreads();
  out[PLACE] = p.x;
}

typedef int index_t;

// out = t + 10: the local changes through a reference to it.
__global__ void local_changed_through_a_reference(long long* out) {
  int t = threadIdx.x;
  index_t& moved = t;
  moved += 10;
  __syncthreads();
  out[PLACE] = t;
}

struct Counter {
  int value;
  __device__ Counter(int v) : value(v) {}
  __device__ void bump() { value += 7; }
};

struct Cell {
  int v[2];
  __device__ Cell(unsigned t) : v{int(t), 0} {}
  __device__ int& operator[](int i) { return v[i]; }
};

// out = (t + 7) * 1000 + t + 40: locals of class type change through a
// member function and a subscript operator.
__global__ void locals_changed_by_members(long long* out) {
  Counter c = threadIdx.x;
  c.bump();
  Cell cell = threadIdx.x;
  cell[1] = 40;
  __syncthreads();
  out[PLACE] = c.value * 1000LL + cell[0] + cell[1];
}

__device__ void add_hundred(int& v) { v += 100; }
#define ADD_HUNDRED_TO_T add_hundred(t)
#define BUMP(x) x += 1

// out = t + 101: macros hand the local to a function and change it.
__global__ void local_changed_in_macros(long long* out) {
  int t = threadIdx.x;
  ADD_HUNDRED_TO_T;
  BUMP(t);
  __syncthreads();
  out[PLACE] = t;
}

// out = (t + 10) * 100 + (t odd ? 2t - 1 : 2t): locals assigned in
// parentheses and through a conditional.
__global__ void locals_assigned_in_parentheses(long long* out) {
  int t = threadIdx.x;
  int even = 2 * threadIdx.x, odd = 2 * threadIdx.x + 1;
  (t) += 10;
  (threadIdx.x % 2 ? odd : even) = -1;
  __syncthreads();
  out[PLACE] = t * 100 + even + odd;
}

// out = 200t + 7: b keeps what it was computed from a before a changed.
__global__ void local_computed_before_its_source_changes(long long* out) {
  int a = threadIdx.x;
  int b = a * 2;
  a = 7;
  __syncthreads();
  out[PLACE] = b * 100 + a;
}

// out = in[i] * 1000 + in[i + 1]: the pointer moved past what it read.
__global__ void local_pointer_post_incremented(const int* in, long long* out) {
  const int* p = in + PLACE;
  const int first = *p++;
  __syncthreads();
  out[PLACE] = first * 1000LL + *p;
}

// Several declarators per statement: a pointer among them, unsigned
// wrap-around, sizeof, a comma expression and a conditional.
__global__ void mixed_declarators(long long* out, const int* in) {
  int t = threadIdx.x, loaded = in[t], spare = 0;
  long long* slot = out + PLACE;
  const unsigned u = (unsigned)t - 1u;
  long long wide = (long long)u * 3, tiny = (long long)sizeof(wide) + t;
  spare = (loaded++, loaded * 2);
  __syncthreads();
  *slot = (int)(wide % 1000) + (t % 2 ? loaded : spare) + (int)tiny;
}

// out = (108 + 3t) * 10 + 2t with n = 1: inner scopes reuse the names of
// locals that live across the barrier.
__global__ void inner_scopes_reuse_names(long long* out, int n) {
  int t = threadIdx.x;
  int u = t * 2;
  __syncthreads();
  int acc = 0;
  {
    int t = 100;
    acc += t;
  }
  if (n > 0) {
    int u = 7;
    acc += u;
  } else if (n < 0)
    acc = -1;
  else {
    acc = 0;
  }
  switch (n) {
    case 1: {
      int w = u;
      acc += w;
      break;
    }
    default:
      break;
  }
  do {
    acc += t;
  } while (0);
  for (int u = 0; u < 2; ++u) acc += u;
  out[PLACE] = acc * 10 + u;
}

__device__ int lane = -7;
#define DECLARE_LANE(name) int name = threadIdx.x * 3

// out = 6t: the local a function-like macro declares hides the device
// variable of the same name in both regions.
__global__ void local_declared_by_a_macro(long long* out) {
  DECLARE_LANE(lane);
  out[PLACE] = lane;
  __syncthreads();
  out[PLACE] += lane;
}

struct Pair {
  int a, b;
};
template <typename T>
struct Twin {
  T first, second;
};
typedef unsigned int uint;
constexpr int kHalfOf = 64;

// out = 7n + 13t + 3, + 1000 for t < 32, + 100000 for odd t: locals declared
// every way C++ allows, read after a barrier.
__global__ void locals_declared_every_way(long long* out, int n) {
  const unsigned t = threadIdx.x;
  long long* __restrict__ dst = out + PLACE;
  decltype(n) doubled = 2 * n;
  struct Pair pair = {int(t), n};
  ::size_t index = t;
  alignas(16) int aligned = 3 * int(t);
  auto automatic = n * 2 + int(t);
  int braced{n + 1};
  int parenthesised(n + 2);
  constexpr int half = kHalfOf / 2;
  const int kOdd = 1;
  int scaled = int(t) * 5;
  const uint named = t;
  Twin<short> twin = {short(t), 0};
  __syncthreads();
  long long sum = doubled + pair.a + pair.b + (long long)index + aligned + automatic + braced + parenthesised + scaled +
                  named + twin.first + twin.second;
  if (t < half) sum += 1000;
  switch (t % 2) {
    case kOdd:
      sum += 100000;
      break;
    default:
      break;
  }
  *dst = sum;
}

struct Made {
  int a, b;
  __device__ Made(int x, int y) : a(x), b(y) {}
};
__device__ Made make(int t) { return Made(t, 2 * t); }

// out = 3t: a local of a class without a default constructor.
__global__ void local_without_default_constructor(long long* out) {
  Made m = make(threadIdx.x);
  __syncthreads();
  out[PLACE] = m.a + m.b;
}

// out = rows[1][t]: a pointer to const pointers, moved before the barrier.
__global__ void local_pointer_to_const_pointers(int* const* rows, long long* out) {
  int* const* r = rows;
  r = r + 1;
  const int t = threadIdx.x;
  __syncthreads();
  out[PLACE] = r[0][t];
}

// Locals of several types across two barriers, some read from memory, some
// assigned after the first barrier, some functions of the index alone.
__global__ void locals_of_several_types(long long* out, const float* in, int n) {
  int t = threadIdx.x, scratch = 2 * t, half = t / 2;
  float w = 0.5f * t;
  const float src = in[t];
  unsigned long long big;
  int here = scratch + half;
  out[PLACE] = here;
  __syncthreads();
  big = (unsigned long long)(t * w);
  double late = big + src;
  __syncthreads();
  out[PLACE] = out[PLACE] * 1000 + (long long)(late * 4) + half + n;
}

__device__ void add_five(int& v) { v += 5; }
__device__ int counter = 11;

// Locals changed after their declaration, passed by reference, loaded,
// chosen, computed from a parameter or a device variable.
__global__ void locals_changed_after_declaration(long long* out, const int* in, int n) {
  int row = blockIdx.y * blockDim.y + threadIdx.y;
  int moved = threadIdx.x;
  moved += 1;
  int passed = threadIdx.x;
  add_five(passed);
  int loaded = in[threadIdx.x];
  int chosen = threadIdx.x < 3u ? (int)threadIdx.x : 3;
  int scaled = row * n;
  int global = counter + 1;
  __syncthreads();
  out[PLACE] = moved + passed * 10 + loaded * 100 + chosen * 1000 + scaled * 10000LL + global * 1000000LL;
}

// ---- Values read from memory are kept, not read again

#define STEP(counters) counters[blockIdx.x]

// out = c * 1000 + t * c with c the block's counter before thread 0 raised it.
__global__ void value_read_before_it_changes(int* counters, long long* out) {
  const int t = threadIdx.x;
  const int before = (int)*(counters + blockIdx.x);
  const int offset = t * STEP(counters);
  __syncthreads();
  if (t == 0) counters[blockIdx.x] = before + 100;
  __syncthreads();
  out[PLACE] = before * 1000LL + offset;
}

__device__ int g_base[8] = {40, 41, 42, 43, 44, 45, 46, 47};

// out = g_base[b] + t as it was: thread 0 changes it between two barriers,
// and puts it back at the end for the next launch.
__global__ void value_read_from_a_device_variable(long long* out) {
  const int b = g_base[blockIdx.x % 8] + (int)threadIdx.x;
  __syncthreads();
  if (threadIdx.x == 0) g_base[blockIdx.x % 8] = 50;
  __syncthreads();
  out[PLACE] = b;
  if (threadIdx.x == 0) g_base[blockIdx.x % 8] = b;
}

__device__ int* address_of(int& v) { return &v; }

// out = 5i: each thread reads its own local through the pointer it left in
// shared memory.
__global__ void local_address_left_in_shared_memory(long long* out) {
  __shared__ int* slots[1024];
  const unsigned t = threadIdx.x + blockDim.x * threadIdx.y;
  int x = 5 * (int)PLACE;
  slots[t] = address_of(x);
  __syncthreads();
  out[PLACE] = *slots[t];
}

struct TwoInts {
  int v[2];
};

// out = 111i: pointers to locals (through a cast, a member array, a device
// function) read after the barrier.
__global__ void pointers_to_locals(long long* out) {
  const int i = PLACE;
  int x = i;
  int* by_cast = (int*)&x;
  TwoInts pair = {{i, 10 * i}};
  int* decayed = pair.v;
  int z = 100 * i;
  int* from_function = address_of(z);
  __syncthreads();
  out[PLACE] = *by_cast + decayed[1] + *from_function;
}

__shared__ int file_scope[64];

// Shared memory declared in a device function: every call hands out the
// same array of the block.
__device__ int* block_scratch() {
  __shared__ int scratch[64];
  return scratch;
}

// out = 3 * ((t + 1) % n) + (t + 2) % n: shared arrays declared at file
// scope and in a device function, both written before the barrier. At most
// 64 threads a block.
__global__ void shared_memory_outside_the_kernel(long long* out) {
  const unsigned t = threadIdx.x, n = blockDim.x;
  file_scope[t] = 3 * int(t);
  block_scratch()[t] = int(t);
  __syncthreads();
  out[PLACE] = file_scope[(t + 1) % n] + block_scratch()[(t + 2) % n];
}

// ---- Names mean what they mean where the kernel is written

const int kBias = 5;

// out = t + 5: kBias as it reads here; a macro of that name follows later.
__global__ void macro_defined_after_the_kernel(long long* out) {
  out[PLACE] = threadIdx.x;
  __syncthreads();
  out[PLACE] += kBias;
}

#define WIDTH 4

// out = 4t + 4: WIDTH as it stands here; a header changes it afterwards.
__global__ void macro_redefined_by_a_later_header(long long* out) {
  int t = threadIdx.x * WIDTH;
  __syncthreads();
  out[PLACE] = t + WIDTH;
}

#include <redefine_width.h>
static_assert(WIDTH == 8, "the header changes WIDTH for what follows");

#define SCALE 8
#pragma push_macro("SCALE")
#undef SCALE
#define SCALE 4

// out = 4t + 4: SCALE as it stands here; an older value comes back after.
__global__ void macro_restored_after_the_kernel(long long* out) {
  int t = threadIdx.x * SCALE;
  __syncthreads();
  out[PLACE] = t + SCALE;
}

#pragma pop_macro("SCALE")
static_assert(SCALE == 8, "the older SCALE is back");

const int kScale = 3;

// out = 35: the statement before the local constant reads the global one.
__global__ void constant_declared_after_a_use(long long* out) {
  out[PLACE] = kScale;
  constexpr int kScale = 5;
  __syncthreads();
  out[PLACE] = out[PLACE] * 10 + kScale;
}

__device__ int table[4] = {1, 2, 3, 4};

// out = 1 + 9: the statement before the shared array reads the device one.
__global__ void shared_array_declared_after_a_use(long long* out) {
  out[PLACE] = table[0];
  __shared__ int table[4];
  table[threadIdx.x % 4] = 9;
  __syncthreads();
  out[PLACE] += table[0];
}

__device__ int scale(double) { return 1; }

// out = 100 + t: only scale(double) is declared where the kernel stands.
__global__ void overload_declared_after_the_kernel(long long* out) {
  int t = threadIdx.x;
  __syncthreads();
  out[PLACE] = scale(t) * 100 + t;
}

__device__ int scale(int) { return 2; }

const int kBase = 7;
namespace inner {
// out = 700 + t: the global kBase; the namespace declares its own later.
__global__ void name_declared_later_in_its_namespace(long long* out) {
  int t = threadIdx.x;
  __syncthreads();
  out[PLACE] = kBase * 100 + t;
}
const int kBase = 9;
}  // namespace inner

// out = 14: the kernel's own gridDim hides the built-in one.
__global__ void local_named_like_a_builtin(long long* out) {
  const unsigned place = PLACE;
  uint3 gridDim = uint3{7, 1, 1};
  int w = gridDim.x * 2;
  __syncthreads();
  out[place] = w;
}

// out = f[t % 8] * 1000 + f[(t + 1) % 8] with f the kernel's name.
__global__ void function_name_after_a_barrier(long long* out) {
  const unsigned t = threadIdx.x;
  const long long before = __func__[t % 8];
  __syncthreads();
  out[PLACE] = before * 1000 + __func__[(t + 1) % 8];
}

// ---- Returns

__device__ void store(long long* p, long long v) { *p = v; }

// out = 1 for odd t, 2 for even: `return f(...)` with a void f.
__global__ void return_of_a_void_call(long long* out) {
  __syncthreads();
  if (threadIdx.x % 2) return store(out + PLACE, 1);
  return store(out + PLACE, 2);
}

// Threads with t % 3 == 1 stop before writing, those with t % 3 == 2 after
// writing their neighbour's square; the others add 1000.
__global__ void returns_after_the_last_barrier(long long* out) {
  __shared__ int seen[1024];
  const int t = threadIdx.x;
  seen[t] = t * t + (int)blockIdx.x;
  __syncthreads();
  const int neighbour = seen[(t + 1) % blockDim.x];
  if (t % 3 == 1) return;
  out[PLACE] = neighbour;
  if (t % 3 == 2) return;
  out[PLACE] += 1000;
}

// The thread at (t / n, t % n) of an n x n walk stops there: out = 1000 + 2t
// for the threads that stop, -5 for those that walk every cell.
__global__ void return_from_nested_loops(long long* out, int n) {
  const int t = threadIdx.x;
  const int i = PLACE;
  out[i] = 1000 + t;
  __syncthreads();
  for (int a = 0; a < n; ++a)
    for (int b = 0; b < n; ++b) {
      if (a * n + b == t) return;
      out[i] += 1;
    }
  out[i] = -5;
}

// out = 2t: a return inside a member function of a local class.
__global__ void return_inside_a_local_class(long long* out) {
  const int t = threadIdx.x;
  __syncthreads();
  struct Local {
    static int twice(int v) { return v * 2; }
  };
  out[PLACE] = Local::twice(t);
}

// ---- Barriers spelled in other ways

// out = 3 * ((t + 1) % n): the barrier is the left operand of a comma.
__global__ void barrier_in_a_comma_expression(long long* out) {
  __shared__ int s[1024];
  const int t = threadIdx.x;
  s[t] = t * 3;
  __syncthreads(), out[PLACE] = s[(t + 1) % blockDim.x];
}

// out = (t + rounds) % n + rounds: the barriers stand in a loop made of goto.
__global__ void barriers_in_a_goto_loop(long long* out, int rounds) {
  __shared__ int s[1024];
  const int t = threadIdx.x, n = blockDim.x;
  int v = t, r = 0;
again:
  s[t] = v;
  __syncthreads();
  v = s[(t + 1) % n] + 1;
  __syncthreads();
  if (++r < rounds) goto again;
  out[PLACE] = v;
}


// Work on both sides of a test of the thread's number against a bound the
// block shares, unsigned and then signed: each side must keep to its own
// threads wherever the bound lies (before the block, inside, past it).
__global__ void work_on_both_sides_of_a_bound(long long* out, int k, int sk) {
  __shared__ long long s[1024];
  const unsigned t = threadIdx.x;
  s[t] = t * 7 + 1;
  __syncthreads();
  const long long a = t >= (unsigned)k ? s[t] + s[t - k] : s[t] * 3;
  __syncthreads();
  s[t] = a;
  __syncthreads();
  out[PLACE] = (int)t <= sk ? s[t] * 5 : s[t] + s[(t + 1) % blockDim.x];
}

// Do-while loops, one inside the other, each ending in a barrier; the inner
// runs blockDim.y % 3 + 1 times, the outer blockIdx.x % 4 times (at least
// once), and a loop over the powers of two below the block's size comes
// first in the inner one. Each pass mixes the thread's number into its out
// (see nested_do_while_mix); v is kept across every barrier.
__global__ void barriers_in_nested_do_whiles(long long* out, long long* scratch) {
  const unsigned t = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
  const unsigned nt = blockDim.x * blockDim.y * blockDim.z;
  const float v = (float)scratch[PLACE];
  long long* const o = out + PLACE;
  int rounds = 0;
  do {
    int i = 0;
    do {
      for (unsigned s = 1; s < nt; s *= 2) scratch[PLACE] += s;
      *o = (long long)(((unsigned long long)*o ^ __builtin_bit_cast(unsigned long long, (double)t)) * 3u);
      __syncthreads();
    } while (++i < (int)(blockDim.y % 3u) + 1);
    __syncthreads();
  } while (++rounds < (int)(blockIdx.x % 4u));
  *o = (long long)((unsigned long long)*o + (unsigned long long)((long long)v * 1000 + rounds));
}
// out = sum over i of (i + 1) (t + i): a pragma'd loop after the barrier.
// At least four threads a block.
__global__ void pragma_after_a_barrier(long long* out) {
  __shared__ int s[4];
  if (threadIdx.x < 4) s[threadIdx.x] = threadIdx.x + 1;
  __syncthreads();
  long long sum = 0;
#pragma unroll
  for (int i = 0; i < 4; ++i) sum += s[i] * (long long)(threadIdx.x + i);
  out[PLACE] = sum;
}

// out = (t + 1) % 8: a shared array sized by a local constant. At least eight
// threads a block.
__global__ void shared_array_sized_by_a_local(long long* out) {
  const int m = 8;
  __shared__ int s[m];
  s[threadIdx.x % m] = threadIdx.x % m;
  __syncthreads();
  out[PLACE] = s[(threadIdx.x + 1) % m];
}

// ---- Blocks and grids of every shape

// Locals of several types outlive three barriers while threads swap values
// through shared memory; a shared array is declared after the first barrier.
__global__ void locals_across_three_barriers(long long* out, const float* bias) {
  __shared__ int stage[1024];
  int t = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z), n = blockDim.x * blockDim.y * blockDim.z;
  int block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
  float scale = 0.5f * (float)(t + 1);
  const float* my_bias = bias + block;
  long long* slot = out + (long long)block * n + t;
  int mirror;
  unsigned steps = 0, spread = (unsigned)t * 7u;
  stage[t] = t * 3 + block + (int)(spread % 5u);
  __syncthreads();
  mirror = stage[n - 1 - t];
  steps++;
  __syncthreads();
  __shared__ float late[1024];
  stage[t] = mirror + 2 * t;
  late[t] = scale + *my_bias;
  steps++;
  __syncthreads();
  *slot = (stage[(t + 1) % n] + (int)steps * 1000) * 100000LL + (long long)((late[n - 1 - t] * 2.0f - scale) * 4.0f);
}

namespace probe_ns {
namespace {
// out = (t + 3) % n + 100b; launch bounds before the name.
__global__ void __launch_bounds__(256) rotate(long long* out) {
  __shared__ int ring[1024];
  int t = threadIdx.x, n = blockDim.x;
  ring[t] = t + 100 * (int)blockIdx.x;
  __syncthreads();
  out[PLACE] = ring[(t + 3) % n];
}
}  // namespace
}  // namespace probe_ns

// out = (t + n - 1) % n + 100b, with C linkage; launch bounds after the name.
extern "C" __launch_bounds__(128) __global__ void rotate_back(long long* out) {
  __shared__ int ring[1024];
  int t = threadIdx.x, n = blockDim.x;
  ring[t] = t + 100 * (int)blockIdx.x;
  __syncthreads();
  out[PLACE] = ring[(t + n - 1) % n];
}

namespace inner {
__global__ void defined_outside(long long* out);
}

// out = 2t + 1: a kernel declared in a namespace and defined outside it.
__global__ void inner::defined_outside(long long* out) {
  __shared__ int odd[1024];
  odd[threadIdx.x] = 2 * threadIdx.x + 1;
  __syncthreads();
  out[PLACE] = odd[threadIdx.x];
}

// Two kernels of one name: out = t + 1, then + add.
__global__ void overloaded(long long* out) {
  __syncthreads();
  out[PLACE] = threadIdx.x + 1;
}
__global__ void overloaded(long long* out, int add) {
  __syncthreads();
  out[PLACE] += add;
}
constexpr void (*kOverloadedFirst)(long long*) = overloaded;
constexpr void (*kOverloadedSecond)(long long*, int) = overloaded;

// No barrier: the threads inside a box one short of the grid in every
// dimension of more than one thread write their coordinates and the launch's
// shape; the others write nothing.
__global__ void box_without_barriers(long long* out, int width, int height, int depth) {
  const int x = blockIdx.x * blockDim.x + threadIdx.x;
  const int y = blockIdx.y * blockDim.y + threadIdx.y;
  const int z = blockIdx.z * blockDim.z + threadIdx.z;
  if (x >= width || y >= height || z >= depth) return;
  out[PLACE] = (blockDim.x * 7 + blockDim.y * 5 + blockDim.z * 3 + gridDim.x * 11 + gridDim.y * 13 + gridDim.z * 17) +
               x * 1000000LL + y * 1000LL + z;
}

// ---- A barrier the compiler cannot see

__device__ void far_barrier();  // far_barrier.cu

// out = (t + 1) * 10. Without the far barriers the threads of a block would
// read values their neighbours have not written yet, or written over
// (unsigned: whatever they read, the arithmetic stays defined).
__global__ void barriers_in_another_unit(long long* out) {
  __shared__ unsigned values[1024];
  const unsigned t = threadIdx.x, n = blockDim.x;
  values[t] = t + 1;
  far_barrier();
  const unsigned right = values[(t + 1) % n];
  __syncthreads();
  values[t] = right * 10;
  far_barrier();
  out[PLACE] = values[(t + n - 1) % n];
}

// out = (t + 1) % n + 1: the kernel's only barrier is out of sight.
__global__ void barrier_only_in_another_unit(long long* out) {
  __shared__ unsigned values[1024];
  const unsigned t = threadIdx.x, n = blockDim.x;
  values[t] = t + 1;
  far_barrier();
  out[PLACE] = values[(t + 1) % n];
}

// Host code further down may use the names the kernels above read.
#define kBias 7

GPU_DEVICE_CODE(GPU_KERNEL(parameter_member, "_Z16parameter_member6WindowPx"),
                GPU_KERNEL(parameter_by_reference, "_Z22parameter_by_referenceiPx"),
                GPU_KERNEL(parameter_through_a_conditional, "_Z31parameter_through_a_conditionaliiPx"),
                GPU_KERNEL(parameter_through_hidden_references, "_Z35parameter_through_hidden_referencesiPx"),
                GPU_KERNEL(parameter_post_incremented, "_Z26parameter_post_incrementedPKiPx"),
                GPU_KERNEL(parameter_rows_advanced, "_Z23parameter_rows_advancedPA4_iPx"),
                GPU_KERNEL(parameter_address_taken, "_Z23parameter_address_takeniPx"),
                GPU_KERNEL(parameter_big_struct, "_Z20parameter_big_struct3BigPx"),
                GPU_KERNEL(const_overloads, "_Z15const_overloadsiPx"),
                GPU_KERNEL(local_member_changed, "_Z20local_member_changedPx"),
                GPU_KERNEL(local_changed_through_a_reference, "_Z33local_changed_through_a_referencePx"),
                GPU_KERNEL(locals_changed_by_members, "_Z25locals_changed_by_membersPx"),
                GPU_KERNEL(local_changed_in_macros, "_Z23local_changed_in_macrosPx"),
                GPU_KERNEL(locals_assigned_in_parentheses, "_Z30locals_assigned_in_parenthesesPx"),
                GPU_KERNEL(local_computed_before_its_source_changes, "_Z40local_computed_before_its_source_changesPx"),
                GPU_KERNEL(local_pointer_post_incremented, "_Z30local_pointer_post_incrementedPKiPx"),
                GPU_KERNEL(mixed_declarators, "_Z17mixed_declaratorsPxPKi"),
                GPU_KERNEL(inner_scopes_reuse_names, "_Z24inner_scopes_reuse_namesPxi"),
                GPU_KERNEL(local_declared_by_a_macro, "_Z25local_declared_by_a_macroPx"),
                GPU_KERNEL(locals_declared_every_way, "_Z25locals_declared_every_wayPxi"),
                GPU_KERNEL(local_without_default_constructor, "_Z33local_without_default_constructorPx"),
                GPU_KERNEL(local_pointer_to_const_pointers, "_Z31local_pointer_to_const_pointersPKPiPx"),
                GPU_KERNEL(locals_of_several_types, "_Z23locals_of_several_typesPxPKfi"),
                GPU_KERNEL(locals_changed_after_declaration, "_Z32locals_changed_after_declarationPxPKii"),
                GPU_KERNEL(value_read_before_it_changes, "_Z28value_read_before_it_changesPiPx"),
                GPU_KERNEL(value_read_from_a_device_variable, "_Z33value_read_from_a_device_variablePx"),
                GPU_KERNEL(local_address_left_in_shared_memory, "_Z35local_address_left_in_shared_memoryPx"),
                GPU_KERNEL(pointers_to_locals, "_Z18pointers_to_localsPx"),
                GPU_KERNEL(macro_defined_after_the_kernel, "_Z30macro_defined_after_the_kernelPx"),
                GPU_KERNEL(macro_redefined_by_a_later_header, "_Z33macro_redefined_by_a_later_headerPx"),
                GPU_KERNEL(macro_restored_after_the_kernel, "_Z31macro_restored_after_the_kernelPx"),
                GPU_KERNEL(constant_declared_after_a_use, "_Z29constant_declared_after_a_usePx"),
                GPU_KERNEL(shared_array_declared_after_a_use, "_Z33shared_array_declared_after_a_usePx"),
                GPU_KERNEL(overload_declared_after_the_kernel, "_Z34overload_declared_after_the_kernelPx"),
                GPU_KERNEL(inner::name_declared_later_in_its_namespace,
                           "_ZN5inner36name_declared_later_in_its_namespaceEPx"),
                GPU_KERNEL(local_named_like_a_builtin, "_Z26local_named_like_a_builtinPx"),
                GPU_KERNEL(function_name_after_a_barrier, "_Z29function_name_after_a_barrierPx"),
                GPU_KERNEL(return_of_a_void_call, "_Z21return_of_a_void_callPx"),
                GPU_KERNEL(returns_after_the_last_barrier, "_Z30returns_after_the_last_barrierPx"),
                GPU_KERNEL(return_from_nested_loops, "_Z24return_from_nested_loopsPxi"),
                GPU_KERNEL(return_inside_a_local_class, "_Z27return_inside_a_local_classPx"),
                GPU_KERNEL(barrier_in_a_comma_expression, "_Z29barrier_in_a_comma_expressionPx"),
                GPU_KERNEL(barriers_in_a_goto_loop, "_Z23barriers_in_a_goto_loopPxi"),
                GPU_KERNEL(work_on_both_sides_of_a_bound, "_Z29work_on_both_sides_of_a_boundPxii"),
                GPU_KERNEL(barriers_in_nested_do_whiles, "_Z28barriers_in_nested_do_whilesPxS_"),
                GPU_KERNEL(pragma_after_a_barrier, "_Z22pragma_after_a_barrierPx"),
                GPU_KERNEL(shared_array_sized_by_a_local, "_Z29shared_array_sized_by_a_localPx"),
                GPU_KERNEL(locals_across_three_barriers, "_Z28locals_across_three_barriersPxPKf"),
                GPU_KERNEL(probe_ns::rotate, "_ZN8probe_ns12_GLOBAL__N_16rotateEPx"),
                GPU_KERNEL(rotate_back, "rotate_back"),
                GPU_KERNEL(box_without_barriers, "_Z20box_without_barriersPxiii"),
                GPU_KERNEL(barriers_in_another_unit, "_Z24barriers_in_another_unitPx"),
                GPU_KERNEL(barrier_only_in_another_unit, "_Z28barrier_only_in_another_unitPx"),
                GPU_KERNEL(shared_memory_outside_the_kernel, "_Z32shared_memory_outside_the_kernelPx"),
                GPU_KERNEL(inner::defined_outside, "_ZN5inner15defined_outsideEPx"),
                GPU_KERNEL(*kOverloadedFirst, "_Z10overloadedPx"), GPU_KERNEL(*kOverloadedSecond, "_Z10overloadedPxi"))

namespace {

using test_helpers::DeviceBuffer;
using test_helpers::launch_outcome;

// A thread of a launch, as the expected values see it.
struct Place {
  uint3 thread, block;
  dim3 block_dim, grid_dim;
  unsigned threads() const { return block_dim.x * block_dim.y * block_dim.z; }
  unsigned t() const { return thread.x + block_dim.x * (thread.y + block_dim.y * thread.z); }
  unsigned b() const { return block.x + grid_dim.x * (block.y + grid_dim.y * block.z); }
  long long index() const { return (long long)b() * threads() + t(); }
};

struct Geometry {
  dim3 block, grid;
};

// What a launch gets: its geometry and the output, one long long a thread,
// -1 before the kernel writes.
struct Launch {
  dim3 block, grid;
  long long* out;
};

// One kernel shape: what it pins, its kernel's form, how to launch it (and
// wait for it) and what each thread must leave in out.
struct Case {
  const char* behaviour;
  const gpu_runtime::KernelForm& (*form)();
  cudaError_t (*launch)(const Launch&);
  long long (*expected)(const Place&);
  std::vector<Geometry> geometries = {{dim3(6), dim3(3)}};
  // The kernel meets barriers the compiler cannot see: its block function
  // cannot honour them and may fail the launch instead.
  bool barriers_out_of_sight = false;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.behaviour; }

template <typename T>
std::vector<T> ramp(size_t count, T (*f)(size_t)) {
  std::vector<T> v(count);
  for (size_t k = 0; k < count; ++k) v[k] = f(k);
  return v;
}

int input(size_t k) { return int(k * 7 % 31 + 1); }

// The value of locals_of_several_types for thread t with in[t] = t / 4.
long long several_types(const Place& p) {
  const int t = int(p.t()), half = t / 2;
  const float w = 0.5f * t, src = float(t) / 4;
  const unsigned long long big = (unsigned long long)(t * w);
  const double late = big + src;
  return (2LL * t + half) * 1000 + (long long)(late * 4) + half + 9;
}

long long across_three_barriers(const Place& p) {
  const int n = int(p.threads()), t = int(p.t()), b = int(p.b());
  auto stage0 = [&](int k) { return k * 3 + b + int((unsigned(k) * 7u) % 5u); };
  auto stage1 = [&](int k) { return stage0(n - 1 - k) + 2 * k; };
  const int u = n - 1 - t;
  const float late = 0.5f * float(u + 1) + 0.25f * float(b);
  const float scale = 0.5f * float(t + 1);
  return (stage1((t + 1) % n) + 2000) * 100000LL + (long long)((late * 2.0f - scale) * 4.0f);
}

long long box(const Place& p) {
  const long long x = p.block.x * p.block_dim.x + p.thread.x, y = p.block.y * p.block_dim.y + p.thread.y,
                  z = p.block.z * p.block_dim.z + p.thread.z;
  auto edge = [](unsigned threads, unsigned blocks) { return (long long)threads * blocks - (threads > 1 ? 1 : 0); };
  if (x >= edge(p.block_dim.x, p.grid_dim.x) || y >= edge(p.block_dim.y, p.grid_dim.y) ||
      z >= edge(p.block_dim.z, p.grid_dim.z))
    return -1;
  const dim3 b = p.block_dim, g = p.grid_dim;
  return (b.x * 7 + b.y * 5 + b.z * 3 + g.x * 11 + g.y * 13 + g.z * 17) + x * 1000000 + y * 1000 + z;
}

// What work_on_both_sides_of_a_bound leaves with bounds k and sk.
long long both_sides(const Place& p, long long k, long long sk) {
  const long long n = p.threads();
  auto first = [&](long long t) { return t >= k ? (t * 7 + 1) + ((t - k) * 7 + 1) : (t * 7 + 1) * 3; };
  const long long t = p.t();
  return t <= sk ? first(t) * 5 : first(t) + first((t + 1) % n);
}

// What barriers_in_nested_do_whiles leaves, from out = -1 and scratch = 0.
long long nested_do_while_mix(const Place& p) {
  const unsigned rounds = std::max(p.block.x % 4u, 1u), passes = rounds * (p.block_dim.y % 3u + 1u);
  unsigned long long o = ~0ull;
  for (unsigned k = 0; k < passes; ++k) o = (o ^ __builtin_bit_cast(unsigned long long, double(p.t()))) * 3u;
  return (long long)(o + rounds);
}

cudaError_t launch_nested_do_whiles(const Launch& l) {
  const size_t threads = size_t{l.block.x} * l.block.y * l.block.z * l.grid.x * l.grid.y * l.grid.z;
  DeviceBuffer<long long> scratch(std::vector<long long>(threads, 0));
  return launch_outcome(launchKernel(barriers_in_nested_do_whiles, l.grid, l.block, l.out, scratch.get()));
}

cudaError_t launch_box(const Launch& l) {
  auto edge = [](unsigned threads, unsigned blocks) { return int(threads * blocks) - (threads > 1 ? 1 : 0); };
  return launch_outcome(launchKernel(box_without_barriers, l.grid, l.block, l.out, edge(l.block.x, l.grid.x),
                                     edge(l.block.y, l.grid.y), edge(l.block.z, l.grid.z)));
}

#define FORM(kernel) &test_helpers::form_of<&kernel>
#define LAUNCH(...) +[](const Launch& l) { return launch_outcome(launchKernel(__VA_ARGS__)); }
#define EXPECT(...) +[](const Place& p) -> long long { return __VA_ARGS__; }

const std::vector<Geometry> kBoundGeometries = {{dim3(37), dim3(2)}, {dim3(8), dim3(3)}, {dim3(1), dim3(2)}};

const Case kCases[] = {
    // Parameters
    {"ParameterChangedThroughAMember", FORM(parameter_member),
     LAUNCH(parameter_member, l.grid, l.block, Window{10, 20}, l.out), EXPECT(11 + p.t())},
    {"ParameterChangedThroughAReference", FORM(parameter_by_reference),
     LAUNCH(parameter_by_reference, l.grid, l.block, 40, l.out), EXPECT(40 + p.t())},
    {"ParameterBoundToAReferenceThroughAConditional", FORM(parameter_through_a_conditional),
     LAUNCH(parameter_through_a_conditional, l.grid, l.block, 40, 3, l.out), EXPECT(43 + p.t())},
    {"ParameterChangedThroughHiddenReferences", FORM(parameter_through_hidden_references),
     LAUNCH(parameter_through_hidden_references, l.grid, l.block, 40, l.out), EXPECT(44)},
    {"PointerParameterPostIncremented", FORM(parameter_post_incremented),
     +[](const Launch& l) {
       DeviceBuffer<int> in(ramp<int>(4, input));
       return launch_outcome(launchKernel(parameter_post_incremented, l.grid, l.block, in.get(), l.out));
     },
     EXPECT(input(0) * 1000LL + input(1))},
    {"PointerToArrayParameterAdvanced", FORM(parameter_rows_advanced),
     +[](const Launch& l) {
       DeviceBuffer<int> rows(ramp<int>(8, +[](size_t k) { return int(10 * (k / 4) + k % 4); }));
       return launch_outcome(launchKernel(parameter_rows_advanced, l.grid, l.block, (int(*)[4])rows.get(), l.out));
     },
     EXPECT(11)},
    {"ParameterAddressTaken", FORM(parameter_address_taken),
     LAUNCH(parameter_address_taken, l.grid, l.block, 40, l.out), EXPECT(40 + p.t())},
    {"ParameterStructOverOneKiBByValue", FORM(parameter_big_struct),
     +[](const Launch& l) {
       Big big;
       for (int k = 0; k < 300; ++k) big.v[k] = 3 * k;
       return launch_outcome(launchKernel(parameter_big_struct, l.grid, l.block, big, l.out));
     },
     EXPECT(7LL * p.t() + 3), {{dim3(6), dim3(3)}, {dim3(299), dim3(2)}}},
    {"ConstParametersAndLocalsCallTheConstOverload", FORM(const_overloads),
     LAUNCH(const_overloads, l.grid, l.block, 9, l.out), EXPECT(221 + 3LL * p.t())},

    // Locals
    {"LocalChangedThroughAMember", FORM(local_member_changed), LAUNCH(local_member_changed, l.grid, l.block, l.out),
     EXPECT(p.t() + 10)},
    {"LocalChangedThroughAReference", FORM(local_changed_through_a_reference),
     LAUNCH(local_changed_through_a_reference, l.grid, l.block, l.out), EXPECT(p.t() + 10)},
    {"LocalsChangedByMemberFunctionsAndOperators", FORM(locals_changed_by_members),
     LAUNCH(locals_changed_by_members, l.grid, l.block, l.out), EXPECT((p.t() + 7) * 1000LL + p.t() + 40)},
    {"LocalChangedInsideMacros", FORM(local_changed_in_macros), LAUNCH(local_changed_in_macros, l.grid, l.block, l.out),
     EXPECT(p.t() + 101)},
    {"LocalsAssignedInParentheses", FORM(locals_assigned_in_parentheses),
     LAUNCH(locals_assigned_in_parentheses, l.grid, l.block, l.out),
     EXPECT((p.t() + 10) * 100LL + (p.t() % 2 ? 2LL * p.t() - 1 : 2LL * p.t()))},
    {"LocalComputedBeforeItsSourceChanges", FORM(local_computed_before_its_source_changes),
     LAUNCH(local_computed_before_its_source_changes, l.grid, l.block, l.out), EXPECT(200LL * p.t() + 7)},
    {"LocalPointerPostIncremented", FORM(local_pointer_post_incremented),
     +[](const Launch& l) {
       DeviceBuffer<int> in(ramp<int>(64, input));
       return launch_outcome(launchKernel(local_pointer_post_incremented, l.grid, l.block, in.get(), l.out));
     },
     EXPECT(input(p.index()) * 1000LL + input(p.index() + 1))},
    {"MixedDeclarators", FORM(mixed_declarators),
     +[](const Launch& l) {
       DeviceBuffer<int> in(ramp<int>(9, +[](size_t t) { return int(t * t % 17); }));
       return launch_outcome(launchKernel(mixed_declarators, l.grid, l.block, l.out, in.get()));
     },
     EXPECT(((long long)(unsigned)(p.t() - 1u) * 3) % 1000 + (p.t() * p.t() % 17 + 1) * (p.t() % 2 ? 1 : 2) + 8 + p.t()),
     {{dim3(9), dim3(2)}}},
    {"InnerScopesReusingNames", FORM(inner_scopes_reuse_names),
     LAUNCH(inner_scopes_reuse_names, l.grid, l.block, l.out, 1), EXPECT((108 + 3LL * p.t()) * 10 + 2 * p.t())},
    {"LocalDeclaredByAMacroHidesAGlobal", FORM(local_declared_by_a_macro),
     LAUNCH(local_declared_by_a_macro, l.grid, l.block, l.out), EXPECT(6LL * p.t())},
    {"LocalsDeclaredEveryWay", FORM(locals_declared_every_way),
     LAUNCH(locals_declared_every_way, l.grid, l.block, l.out, 10),
     EXPECT(70 + 13LL * p.t() + 3 + (p.t() < 32 ? 1000 : 0) + (p.t() % 2 ? 100000 : 0)),
     {{dim3(6), dim3(3)}, {dim3(40), dim3(2)}}},
    {"LocalOfAClassWithoutADefaultConstructor", FORM(local_without_default_constructor),
     LAUNCH(local_without_default_constructor, l.grid, l.block, l.out), EXPECT(3LL * p.t())},
    {"LocalPointerToConstPointers", FORM(local_pointer_to_const_pointers),
     +[](const Launch& l) {
       DeviceBuffer<int> first(std::vector<int>(8, -3)), second(ramp<int>(8, +[](size_t k) { return int(k * k); }));
       DeviceBuffer<int*> rows(std::vector<int*>{first.get(), second.get()});
       return launch_outcome(launchKernel(local_pointer_to_const_pointers, l.grid, l.block, rows.get(), l.out));
     },
     EXPECT((long long)p.t() * p.t())},
    {"LocalsOfSeveralTypesAcrossTwoBarriers", FORM(locals_of_several_types),
     +[](const Launch& l) {
       DeviceBuffer<float> in(ramp<float>(64, +[](size_t t) { return float(t) / 4; }));
       return launch_outcome(launchKernel(locals_of_several_types, l.grid, l.block, l.out, in.get(), 9));
     },
     several_types},
    {"LocalsChangedAfterTheirDeclaration", FORM(locals_changed_after_declaration),
     +[](const Launch& l) {
       DeviceBuffer<int> in(ramp<int>(8, input));
       return launch_outcome(launchKernel(locals_changed_after_declaration, l.grid, l.block, l.out, in.get(), 3));
     },
     EXPECT(p.thread.x + 1 + (p.thread.x + 5) * 10LL + input(p.thread.x) * 100LL + std::min(p.thread.x, 3u) * 1000LL +
            (p.block.y * p.block_dim.y + p.thread.y) * 3 * 10000LL + 12 * 1000000LL),
     {{dim3(6, 2), dim3(3, 2)}}},

    // Values from memory, addresses of locals
    {"ValueReadBeforeAnotherThreadChangesItIsKept", FORM(value_read_before_it_changes),
     +[](const Launch& l) {
       DeviceBuffer<int> counters(ramp<int>(l.grid.x, +[](size_t b) { return int(5 + b); }));
       return launch_outcome(launchKernel(value_read_before_it_changes, l.grid, l.block, counters.get(), l.out));
     },
     EXPECT((5LL + p.b()) * 1000 + p.t() * (5LL + p.b()))},
    {"ValueReadFromADeviceVariableIsKept", FORM(value_read_from_a_device_variable),
     LAUNCH(value_read_from_a_device_variable, l.grid, l.block, l.out), EXPECT(40LL + p.b() % 8 + p.t())},
    {"AddressOfALocalLeftInSharedMemory", FORM(local_address_left_in_shared_memory),
     LAUNCH(local_address_left_in_shared_memory, l.grid, l.block, l.out), EXPECT(5 * p.index()),
     {{dim3(6), dim3(3)}, {dim3(16, 4), dim3(2)}}},
    {"PointersToLocalsReadAfterABarrier", FORM(pointers_to_locals), LAUNCH(pointers_to_locals, l.grid, l.block, l.out),
     EXPECT(111 * p.index())},

    {"SharedMemoryDeclaredOutsideTheKernel", FORM(shared_memory_outside_the_kernel),
     LAUNCH(shared_memory_outside_the_kernel, l.grid, l.block, l.out),
     EXPECT(3LL * ((p.t() + 1) % p.threads()) + (p.t() + 2) % p.threads()), {{dim3(6), dim3(3)}, {dim3(64), dim3(2)}}},

    // Names
    {"MacroDefinedAfterTheKernel", FORM(macro_defined_after_the_kernel),
     LAUNCH(macro_defined_after_the_kernel, l.grid, l.block, l.out), EXPECT(p.t() + 5)},
    {"MacroRedefinedByALaterHeaderFromTheIncludePath", FORM(macro_redefined_by_a_later_header),
     LAUNCH(macro_redefined_by_a_later_header, l.grid, l.block, l.out), EXPECT(4LL * p.t() + 4)},
    {"MacroRestoredAfterTheKernel", FORM(macro_restored_after_the_kernel),
     LAUNCH(macro_restored_after_the_kernel, l.grid, l.block, l.out), EXPECT(4LL * p.t() + 4)},
    {"ConstantDeclaredAfterAUse", FORM(constant_declared_after_a_use),
     LAUNCH(constant_declared_after_a_use, l.grid, l.block, l.out), EXPECT(35)},
    {"SharedArrayDeclaredAfterAUse", FORM(shared_array_declared_after_a_use),
     LAUNCH(shared_array_declared_after_a_use, l.grid, l.block, l.out), EXPECT(10)},
    {"OverloadDeclaredAfterTheKernel", FORM(overload_declared_after_the_kernel),
     LAUNCH(overload_declared_after_the_kernel, l.grid, l.block, l.out), EXPECT(100 + p.t())},
    {"NameDeclaredLaterInTheKernelsNamespace", FORM(inner::name_declared_later_in_its_namespace),
     LAUNCH(inner::name_declared_later_in_its_namespace, l.grid, l.block, l.out), EXPECT(700 + p.t())},
    {"LocalNamedLikeABuiltin", FORM(local_named_like_a_builtin),
     LAUNCH(local_named_like_a_builtin, l.grid, l.block, l.out), EXPECT(14)},
    {"FunctionNameAfterABarrier", FORM(function_name_after_a_barrier),
     LAUNCH(function_name_after_a_barrier, l.grid, l.block, l.out),
     EXPECT("function_name_after_a_barrier"[p.t() % 8] * 1000LL + "function_name_after_a_barrier"[(p.t() + 1) % 8])},

    // Returns
    {"ReturnOfAVoidCall", FORM(return_of_a_void_call), LAUNCH(return_of_a_void_call, l.grid, l.block, l.out),
     EXPECT(p.t() % 2 ? 1 : 2)},
    {"ReturnsAfterTheLastBarrierEndOnlyTheirThread", FORM(returns_after_the_last_barrier),
     LAUNCH(returns_after_the_last_barrier, l.grid, l.block, l.out),
     EXPECT(p.t() % 3 == 1 ? -1
                           : (long long)((p.t() + 1) % p.threads()) * ((p.t() + 1) % p.threads()) + p.b() +
                                 (p.t() % 3 == 2 ? 0 : 1000)),
     {{dim3(6), dim3(3)}, {dim3(1), dim3(2)}, {dim3(1024), dim3(1)}}},
    {"ReturnFromNestedLoops", FORM(return_from_nested_loops), LAUNCH(return_from_nested_loops, l.grid, l.block, l.out, 3),
     EXPECT(p.t() < 9 ? 1000 + 2LL * p.t() : -5), {{dim3(12), dim3(2)}}},
    {"ReturnInsideALocalClass", FORM(return_inside_a_local_class),
     LAUNCH(return_inside_a_local_class, l.grid, l.block, l.out), EXPECT(2LL * p.t())},

    // Barriers spelled in other ways
    {"BarrierInACommaExpression", FORM(barrier_in_a_comma_expression),
     LAUNCH(barrier_in_a_comma_expression, l.grid, l.block, l.out), EXPECT(3LL * ((p.t() + 1) % p.threads()))},
    {"BarriersInAGotoLoop", FORM(barriers_in_a_goto_loop), LAUNCH(barriers_in_a_goto_loop, l.grid, l.block, l.out, 4),
     EXPECT((p.t() + 4) % p.threads() + 4)},
    {"WorkOnBothSidesOfABoundBeforeTheBlock", FORM(work_on_both_sides_of_a_bound),
     LAUNCH(work_on_both_sides_of_a_bound, l.grid, l.block, l.out, 0, -3), EXPECT(both_sides(p, 0, -3)), kBoundGeometries},
    {"WorkOnBothSidesOfABoundInsideTheBlock", FORM(work_on_both_sides_of_a_bound),
     LAUNCH(work_on_both_sides_of_a_bound, l.grid, l.block, l.out, 5, 4), EXPECT(both_sides(p, 5, 4)), kBoundGeometries},
    {"WorkOnBothSidesOfABoundPastTheBlock", FORM(work_on_both_sides_of_a_bound),
     LAUNCH(work_on_both_sides_of_a_bound, l.grid, l.block, l.out, 5000, 5000), EXPECT(both_sides(p, 5000, 5000)),
     kBoundGeometries},
    {"BarriersInNestedDoWhileLoops", FORM(barriers_in_nested_do_whiles), launch_nested_do_whiles, nested_do_while_mix,
     {{dim3(1), dim3(4)}, {dim3(3, 2), dim3(5)}, {dim3(2, 4, 2), dim3(4, 2)}, {dim3(70, 5), dim3(3)}}},
    {"PragmaAfterABarrier", FORM(pragma_after_a_barrier), LAUNCH(pragma_after_a_barrier, l.grid, l.block, l.out),
     EXPECT(1LL * p.t() + 2 * (p.t() + 1) + 3 * (p.t() + 2) + 4 * (p.t() + 3))},
    {"SharedArraySizedByALocalConstant", FORM(shared_array_sized_by_a_local),
     LAUNCH(shared_array_sized_by_a_local, l.grid, l.block, l.out), EXPECT((p.t() + 1) % 8), {{dim3(8), dim3(3)}}},

    // Shapes
    {"LocalsAcrossThreeBarriersInEveryBlockShape", FORM(locals_across_three_barriers),
     +[](const Launch& l) {
       const size_t blocks = size_t{l.grid.x} * l.grid.y * l.grid.z;
       DeviceBuffer<float> bias(ramp<float>(blocks, +[](size_t b) { return 0.25f * float(b); }));
       return launch_outcome(launchKernel(locals_across_three_barriers, l.grid, l.block, l.out, bias.get()));
     },
     across_three_barriers,
     {{dim3(1), dim3(1)},
      {dim3(5), dim3(3)},
      {dim3(7, 3, 2), dim3(2, 1, 2)},
      {dim3(1, 9, 5), dim3(1, 3, 1)},
      {dim3(16, 16), dim3(2, 2)},
      {dim3(1024), dim3(2)},
      {dim3(4, 4, 64), dim3(1)}}},
    {"KernelInANamespace", FORM(probe_ns::rotate), LAUNCH(probe_ns::rotate, l.grid, l.block, l.out),
     EXPECT((p.t() + 3) % p.threads() + 100LL * p.b()), {{dim3(7), dim3(3)}}},
    {"KernelDefinedOutsideItsNamespace", FORM(inner::defined_outside),
     LAUNCH(inner::defined_outside, l.grid, l.block, l.out), EXPECT(2LL * p.t() + 1)},
    {"OverloadedKernelsOfOneName", FORM(*kOverloadedSecond),
     +[](const Launch& l) {
       const cudaError_t first = launch_outcome(launchKernel(kOverloadedFirst, l.grid, l.block, l.out));
       const cudaError_t second = launch_outcome(launchKernel(kOverloadedSecond, l.grid, l.block, l.out, 100));
       return first != cudaSuccess ? first : second;
     },
     EXPECT(p.t() + 101LL)},
    {"KernelWithCLinkage", FORM(rotate_back), LAUNCH(rotate_back, l.grid, l.block, l.out),
     EXPECT((p.t() + p.threads() - 1) % p.threads() + 100LL * p.b()), {{dim3(7), dim3(3)}}},
    {"BarrierFreeKernelOverABoxTheGridOverhangs", FORM(box_without_barriers), launch_box, box,
     {{dim3(1, 4, 2), dim3(5, 2, 3)},
      {dim3(1024), dim3(3, 2)},
      {dim3(8, 4, 2), dim3(3, 3, 2)},
      {dim3(4), dim3(2000)},
      {dim3(16, 2), dim3(7, 1, 4)},
      {dim3(8, 4), dim3(37, 2)},
      {dim3(1), dim3(37, 3, 2)},
      {dim3(6, 2), dim3(5, 3)}}},

    // Out of sight
    {"BarriersInAnotherUnitAreHonouredOrFailTheLaunch", FORM(barriers_in_another_unit),
     LAUNCH(barriers_in_another_unit, l.grid, l.block, l.out), EXPECT(10LL * (p.t() + 1)),
     {{dim3(8), dim3(3)}}, true},
    {"OnlyBarrierInAnotherUnitIsHonouredOrFailsTheLaunch", FORM(barrier_only_in_another_unit),
     LAUNCH(barrier_only_in_another_unit, l.grid, l.block, l.out), EXPECT((p.t() + 1) % p.threads() + 1LL),
     {{dim3(8), dim3(3)}}, true},
};

class KernelShapes : public ::testing::TestWithParam<Case> {};

TEST_P(KernelShapes, ComputeWhatTheKernelSays) {
  const Case& c = GetParam();
  const gpu_runtime::KernelForm& form = c.form();
  if (!c.barriers_out_of_sight)
    EXPECT_NE(form.block, nullptr) << "runs on fibers: " << (form.reason ? form.reason : "");
  const char* barriers = std::getenv("CUDART_BARRIERS");
  const bool fibers = barriers && std::string(barriers) == "fibers";
  for (const Geometry& g : c.geometries) {
    const dim3 b = g.block, gr = g.grid;
    const std::string where = std::to_string(b.x) + "x" + std::to_string(b.y) + "x" + std::to_string(b.z) +
                              " threads in " + std::to_string(gr.x) + "x" + std::to_string(gr.y) + "x" +
                              std::to_string(gr.z) + " blocks";
    const size_t total = size_t{b.x} * b.y * b.z * gr.x * gr.y * gr.z;
    DeviceBuffer<long long> out(std::vector<long long>(total, -1));
    const cudaError_t status = c.launch(Launch{b, gr, out.get()});
    if (c.barriers_out_of_sight && !fibers && form.block && status == cudaErrorLaunchFailure) continue;
    ASSERT_EQ(status, cudaSuccess) << where;
    const std::vector<long long> actual = out.download();
    int reported = 0;
    for (unsigned bz = 0; bz < gr.z; ++bz)
      for (unsigned by = 0; by < gr.y; ++by)
        for (unsigned bx = 0; bx < gr.x; ++bx)
          for (unsigned tz = 0; tz < b.z; ++tz)
            for (unsigned ty = 0; ty < b.y; ++ty)
              for (unsigned tx = 0; tx < b.x && reported < 5; ++tx) {
                const Place p{{tx, ty, tz}, {bx, by, bz}, b, gr};
                const long long want = c.expected(p);
                if (actual[size_t(p.index())] != want) {
                  ADD_FAILURE() << where << ": block " << p.b() << " thread " << p.t() << " left "
                                << actual[size_t(p.index())] << ", expected " << want;
                  ++reported;
                }
              }
  }
}

INSTANTIATE_TEST_SUITE_P(Behaviours, KernelShapes, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.behaviour); });

}  // namespace
