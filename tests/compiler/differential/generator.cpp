// Random race-free kernels. How a kernel stays free of races:
//
// - Global memory: a thread writes only the output words of its global id;
//   inputs are read-only; counters only take atomics that commute (add and
//   sub, or max, or min: one kind per counter), and no kernel reads them.
// - Block-shared arrays (static and dynamic shared memory, and a per-block
//   slice of a global scratch buffer): every thread owns some slots, by a
//   bijection of its index that is fixed per array. Between two barriers a
//   thread writes only its own slots; it reads its own slots at any time,
//   and other threads' slots only in a stretch where nobody writes the array.
//   Shared counters (thread 0 sets them) take atomics only in stretches
//   where nobody reads or writes them.
// - Barriers stand only where the whole block is: the top level, loops whose
//   trip count is the same for every thread, conditionals and switches on
//   such values, device functions called from there.
//
// The writer tracks, for every point of a body, what the block may have done
// to each array since the last barrier on any path there (Effects), and
// emits an access only where it cannot race with that. Loops join what their
// end brings back to their head: a body that brings back more than its head
// allowed is generated again under the larger state, or closed with a
// barrier.
//
// Every computation is defined for all inputs (see prelude.inc), so any two
// correct compilations of a kernel give the same bits.
#include "generator.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace difftest {
namespace {

const char* const kPrelude =
#include "prelude.inc"
    ;

// splitmix64: the same sequence on every platform and library.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  unsigned below(std::size_t n) { return n ? unsigned(next() % n) : 0; }
  int range(int lo, int hi) { return lo + int(below(std::size_t(hi - lo + 1))); }
  bool chance(unsigned percent) { return below(100) < percent; }
  template <class C>
  auto& pick(C& c) {
    return c[below(std::size(c))];
  }

 private:
  std::uint64_t state_;
};

std::string num(long long v) { return std::to_string(v); }
std::string unum(unsigned long long v) { return std::to_string(v) + "u"; }

// ---------------------------------------------------------------------------
// Types

enum class Ty { Bool, Int, Uint, Long, Float, Double };
constexpr Ty kTypes[] = {Ty::Bool, Ty::Int, Ty::Uint, Ty::Long, Ty::Float, Ty::Double};
// Element types of flat shared arrays and of the helpers that take them.
constexpr Ty kElementTypes[] = {Ty::Int, Ty::Uint, Ty::Long, Ty::Float, Ty::Double};

const char* c_name(Ty t) {
  switch (t) {
    case Ty::Bool: return "bool";
    case Ty::Int: return "int";
    case Ty::Uint: return "unsigned";
    case Ty::Long: return "long long";
    case Ty::Float: return "float";
    case Ty::Double: return "double";
  }
  return "?";
}

unsigned size_of(Ty t) {
  switch (t) {
    case Ty::Bool: return 1;
    case Ty::Int:
    case Ty::Uint:
    case Ty::Float: return 4;
    case Ty::Long:
    case Ty::Double: return 8;
  }
  return 8;
}

bool is_floating(Ty t) { return t == Ty::Float || t == Ty::Double; }

std::string literal(Rng& rng, Ty t) {
  switch (t) {
    case Ty::Bool: return rng.chance(50) ? "true" : "false";
    case Ty::Int: {
      static const char* const v[] = {"0", "1", "2", "3", "5", "-1", "-7", "100", "65535", "2147483647", "(-2147483647 - 1)"};
      return rng.chance(60) ? num(rng.range(-20, 40)) : v[rng.below(std::size(v))];
    }
    case Ty::Uint: {
      static const char* const v[] = {"0u", "1u", "3u", "0x80000000u", "0xffffffffu", "1000003u"};
      return rng.chance(60) ? unum(rng.below(64)) : v[rng.below(std::size(v))];
    }
    case Ty::Long: {
      static const char* const v[] = {"0ll", "-1ll", "9000000000ll", "(-9223372036854775807ll - 1)", "9223372036854775807ll"};
      return rng.chance(60) ? num(rng.range(-100, 100)) + "ll" : v[rng.below(std::size(v))];
    }
    case Ty::Float: {
      static const char* const v[] = {"0.0f", "-0.0f", "0.5f", "-3.25f", "1.0e10f", "3.0e38f", "1.0e-30f", "0.1f"};
      return rng.chance(50) ? num(rng.range(-9, 9)) + ".5f" : v[rng.below(std::size(v))];
    }
    case Ty::Double: {
      static const char* const v[] = {"0.0", "-0.0", "0.25", "-2.5", "1.0e100", "1.0e-300", "0.1", "3.0"};
      return rng.chance(50) ? num(rng.range(-9, 9)) + ".75" : v[rng.below(std::size(v))];
    }
  }
  return "0";
}

std::string convert(const std::string& e, Ty from, Ty to) {
  if (from == to) return e;
  return std::string("cvt<") + c_name(to) + ">(" + e + ")";
}

// ---------------------------------------------------------------------------
// Shared arrays and what a block has done to them

enum class Layout { Flat, Grid, Records, Counters };

// Memory the threads of a block share, as one body sees it.
struct Array {
  std::string base;         // the array, or a pointer to its first element
  Ty type = Ty::Int;        // element type (Records: any field)
  Layout layout = Layout::Flat;
  unsigned per_thread = 1;  // slots each thread owns
  std::string own;          // the thread's place in the ownership order
  std::string slots;        // slots in use: threads * per_thread
  bool passable = false;    // a flat array helpers may take as T*
};

constexpr unsigned kCounterSlots = 4;  // 0: add/sub, 1: max, 2: min, 3: add

// What the threads of a block may have done to each array (one bit per
// array) since the last barrier, on any path to a point.
struct Effects {
  std::uint32_t written = 0, read = 0, atomic = 0;
  bool dead = false;  // no path reaches the point

  static Effects unreachable() {
    Effects e;
    e.dead = true;
    return e;
  }
  static Effects all() {
    Effects e;
    e.written = e.read = e.atomic = ~0u;
    return e;
  }
  void join(const Effects& o) {
    if (o.dead) return;
    if (dead) {
      *this = o;
      return;
    }
    written |= o.written;
    read |= o.read;
    atomic |= o.atomic;
  }
  bool within(const Effects& o) const {
    if (dead) return true;
    if (o.dead) return false;
    return (written & ~o.written) == 0 && (read & ~o.read) == 0 && (atomic & ~o.atomic) == 0;
  }
  bool clean(unsigned a) const { return !dead && !((written | read | atomic) >> a & 1); }
};

struct Var {
  std::string name;
  Ty type = Ty::Int;
  bool uniform = false;  // the same in every thread of the block
  unsigned length = 0;   // local arrays: elements; scalars: 0
  bool assignable = true;
};

// Functions a body may call.
struct ValueHelper {
  std::string name;
  Ty result;
  Ty params[2];
};
struct BarrierHelper {
  std::string name;
  Ty element;
  Effects exit;  // on its pointer (bit 0) after its last barrier
};

struct Big {
  unsigned ints = 0, floats = 0, doubles = 0;
  unsigned bytes() const { return (doubles * 8 + floats * 4 + ints * 4 + 7) / 8 * 8; }
};

struct ProgramContext {
  std::vector<ValueHelper> values;
  std::vector<BarrierHelper> barriers;
  std::vector<std::string> shadowed;  // int globals a kernel may shadow with LOCAL
  Big big;
  std::string finish, settle;  // void helpers kernels `return` through
  bool counting_barriers = true;  // __syncthreads_count/and/or
};

constexpr unsigned kOutWords = 4;  // output words per thread
constexpr unsigned kInputs = 512;  // elements of each input array

// ---------------------------------------------------------------------------
// Bodies: kernels and device functions

enum class BodyKind { Kernel, BarrierHelper, ValueHelper };

struct Loop {
  bool uniform_body;    // the whole block runs it together: barriers allowed
  bool allow_continue;  // continue reaches the head without skipping anything
  Effects head;         // what the body was generated to start from
  Effects breaks = Effects::unreachable();
};

class BodyWriter {
 public:
  BodyWriter(Rng& rng, const ProgramContext& program, BodyKind kind) : rng_(rng), program_(program), kind_(kind) {}

  // --- What the body starts with
  std::vector<Var> vars;
  std::vector<Array> arrays;
  std::uint32_t ready = 0;      // arrays every thread has filled, before a barrier
  std::uint32_t own_ready = 0;  // arrays whose own slots this thread has filled
  Effects state;
  bool barriers = false;  // the body may hold barriers
  bool tail = false;      // no barrier may follow: divergent returns allowed
  bool uniform = true;    // the whole block is here
  bool big = false;       // the kernel has the Big parameter `big`
  bool func_name = false; // the kernel reads __func__
  int budget = 30;        // statements left

  std::string text;
  int indent = 1;

  void line(const std::string& s) { text += std::string(2 * indent, ' ') + s + "\n"; }
  std::string fresh(const char* stem) { return stem + std::to_string(names_++); }
  unsigned bit(unsigned a) const { return 1u << a; }

  // ---------------------------------------------------------------- expressions

  std::string expr(Ty ty, bool uni, int depth) {
    if (depth <= 0 || rng_.chance(30)) return leaf(ty, uni, depth);
    switch (rng_.below(12)) {
      case 0: case 1: case 2: case 3: case 4: return binary(ty, uni, depth - 1);
      case 5: {
        Ty from = rng_.pick(kTypes);
        return convert(expr(from, uni, depth - 1), from, ty);
      }
      case 6:
        return "(" + expr(Ty::Bool, uni, depth - 1) + " ? " + expr(ty, uni, depth - 1) + " : " + expr(ty, uni, depth - 1) + ")";
      case 7: return unary(ty, uni, depth - 1);
      case 8:
        if (!uni && !program_.values.empty() && kind_ != BodyKind::ValueHelper) {
          const ValueHelper& h = rng_.pick(program_.values);
          std::string call = h.name + "(" + expr(h.params[0], false, depth - 1) + ", " + expr(h.params[1], false, depth - 1) + ")";
          return convert(call, h.result, ty);
        }
        return leaf(ty, uni, depth);
      default: return leaf(ty, uni, depth);
    }
  }

  std::string binary(Ty ty, bool uni, int depth) {
    auto sub = [&](Ty t) { return expr(t, uni, depth); };
    if (ty == Ty::Bool) {
      if (rng_.chance(40)) {
        static const char* const ops[] = {" && ", " || ", " != ", " == "};
        return "(" + sub(Ty::Bool) + ops[rng_.below(4)] + sub(Ty::Bool) + ")";
      }
      Ty t = rng_.pick(kElementTypes);
      static const char* const cmp[] = {" < ", " <= ", " > ", " >= ", " == ", " != "};
      return "(" + sub(t) + cmp[rng_.below(6)] + sub(t) + ")";
    }
    if (is_floating(ty)) {
      static const char* const ops[] = {" + ", " - ", " * ", " / "};
      unsigned k = rng_.below(6);
      if (k < 4) return "(" + sub(ty) + ops[k] + sub(ty) + ")";
      return std::string(k == 4 ? "min_(" : "max_(") + sub(ty) + ", " + sub(ty) + ")";
    }
    static const char* const calls[] = {"add_", "sub_", "mul_", "div_", "mod_", "shl_", "shr_", "min_", "max_"};
    static const char* const ops[] = {" & ", " | ", " ^ "};
    if (rng_.chance(25)) return "(" + sub(ty) + ops[rng_.below(3)] + sub(ty) + ")";
    if (ty == Ty::Uint && rng_.chance(40)) {
      static const char* const plain[] = {" + ", " - ", " * "};
      return "(" + sub(ty) + plain[rng_.below(3)] + sub(ty) + ")";
    }
    return std::string(calls[rng_.below(std::size(calls))]) + "(" + sub(ty) + ", " + sub(ty) + ")";
  }

  std::string unary(Ty ty, bool uni, int depth) {
    std::string e = expr(ty, uni, depth);
    switch (ty) {
      case Ty::Bool: return "!" + e;
      case Ty::Int:
      case Ty::Long: return rng_.chance(50) ? "(~" + e + ")" : std::string("sub_(") + (ty == Ty::Int ? "0" : "0ll") + ", " + e + ")";
      case Ty::Uint: return "(~" + e + ")";
      case Ty::Float:
      case Ty::Double: {
        static const char* const f[] = {"sqrt_", "floor_", "-"};
        unsigned k = rng_.below(3);
        return k == 2 ? "(-(" + e + "))" : std::string(f[k]) + "(" + e + ")";
      }
    }
    return e;
  }

  // An unsigned index built from anything (uniform if asked).
  std::string index(bool uni, int depth) { return expr(Ty::Uint, uni, depth); }

  std::string leaf(Ty ty, bool uni, int depth) {
    for (int attempt = 0; attempt < 4; ++attempt) {
      std::string e;
      Ty from = ty;
      switch (rng_.below(16)) {
        case 0: case 1: return literal(rng_, ty);
        case 2: case 3: case 4: case 5: e = variable(ty, uni, from); break;
        case 6: case 7: e = builtin(uni); from = Ty::Uint; break;
        case 8: e = parameter(uni, from); break;
        case 9: case 10: e = input(uni, depth, from); break;
        case 11: case 12: case 13: e = shared_read(uni, depth, from); break;
        case 14: e = local_array_read(uni, depth, from); break;
        case 15: e = special(uni, depth, from); break;
      }
      if (!e.empty()) return convert(e, from, ty);
    }
    return literal(rng_, ty);
  }

  std::string variable(Ty ty, bool uni, Ty& from) {
    std::vector<const Var*> same, any;
    for (const Var& v : vars) {
      if (v.length || (uni && !v.uniform)) continue;
      any.push_back(&v);
      if (v.type == ty) same.push_back(&v);
    }
    const Var* v = !same.empty() && rng_.chance(75) ? rng_.pick(same) : !any.empty() ? rng_.pick(any) : nullptr;
    if (!v) return {};
    from = v->type;
    return v->name;
  }

  std::string builtin(bool uni) {
    static const char* const uniform_reads[] = {"blockIdx.x", "blockIdx.y", "blockIdx.z", "blockDim.x", "blockDim.y",
                                                "blockDim.z", "gridDim.x",  "gridDim.y",  "gridDim.z"};
    static const char* const thread_reads[] = {"threadIdx.x", "threadIdx.y", "threadIdx.z"};
    // The same in every thread, though made of thread indices: the
    // compiler cannot tell, and must check that threads agree where it
    // steers a barrier.
    static const char* const disguised[] = {"(threadIdx.x / blockDim.x + blockIdx.x)", "(blockDim.y - threadIdx.y + threadIdx.y)",
                                            "((gid - t) / nt)", "(t * 0u + gridDim.x)"};
    if (kind_ == BodyKind::ValueHelper && rng_.chance(50)) return {};
    if (!uni && rng_.chance(40)) return thread_reads[rng_.below(3)];
    if (rng_.chance(12)) return disguised[rng_.below(kind_ == BodyKind::Kernel ? 4 : 2)];
    return uniform_reads[rng_.below(std::size(uniform_reads))];
  }

  std::string parameter(bool, Ty& from) {
    if (kind_ != BodyKind::Kernel) return {};
    switch (rng_.below(5)) {
      case 0: from = Ty::Int; return "n";
      case 1: from = Ty::Int; return "a";
      case 2: from = Ty::Int; return "b";
      case 3: from = Ty::Float; return "fa";
      default: from = Ty::Double; return "da";
    }
  }

  std::string input(bool uni, int depth, Ty& from) {
    if (kind_ != BodyKind::Kernel) return {};
    static const char* const names[] = {"gi", "gf", "gd"};
    static const Ty types[] = {Ty::Int, Ty::Float, Ty::Double};
    unsigned k = rng_.below(3);
    from = types[k];
    return std::string(names[k]) + "[" + index(uni, depth - 1) + " % " + unum(kInputs) + "]";
  }

  std::string element(const Array& a, const std::string& slot, Ty& type) {
    switch (a.layout) {
      case Layout::Flat:
      case Layout::Counters: type = a.type; return a.base + "[" + slot + "]";
      case Layout::Grid: type = a.type; return "cell(" + a.base + ", " + slot + ")";
      case Layout::Records: {
        static const char* const fields[] = {".d", ".f", ".i", ".u"};
        static const Ty types[] = {Ty::Double, Ty::Float, Ty::Int, Ty::Uint};
        unsigned k = rng_.below(4);
        type = types[k];
        return a.base + "[" + slot + "]" + fields[k];
      }
    }
    return {};
  }

  std::string own_slot(const Array& a, unsigned j) const {
    if (a.per_thread == 1) return a.own;
    return "(" + a.own + " * " + unum(a.per_thread) + " + " + unum(j) + ")";
  }

  bool may_read_others(unsigned k) const {
    const Effects& s = state;
    return (ready >> k & 1) && !((s.written | s.atomic) >> k & 1) && !(no_cross_ >> k & 1);
  }
  bool may_read_own(unsigned k) const {
    return (own_ready >> k & 1) && !(state.atomic >> k & 1) && arrays[k].layout != Layout::Counters;
  }
  bool may_write_own(unsigned k) const { return !((state.read | state.atomic) >> k & 1); }

  std::string shared_read(bool uni, int depth, Ty& from) {
    std::vector<unsigned> others, own;
    for (unsigned k = 0; k < arrays.size(); ++k) {
      if (may_read_others(k)) others.push_back(k);
      if (!uni && may_read_own(k)) own.push_back(k);
    }
    if (others.empty() && own.empty()) return {};
    if (!own.empty() && (others.empty() || rng_.chance(35))) {
      const Array& a = arrays[rng_.pick(own)];
      return element(a, own_slot(a, rng_.below(a.per_thread)), from);
    }
    unsigned k = rng_.pick(others);
    const Array& a = arrays[k];
    std::string e;
    if (a.layout == Layout::Counters) {
      e = element(a, unum(rng_.below(kCounterSlots)), from);
    } else if (a.passable && rng_.chance(25)) {
      from = a.type;
      e = "get(" + a.base + ", " + index(uni, depth - 1) + ", " + a.slots + ")";
    } else {
      e = element(a, "(" + index(uni, depth - 1) + ") % (" + a.slots + ")", from);
    }
    // Only now: the index may itself have read (and so marked) an array.
    state.read |= bit(k);
    return e;
  }

  std::string local_array_read(bool uni, int depth, Ty& from) {
    if (uni) return {};
    std::vector<const Var*> arrays_here;
    for (const Var& v : vars)
      if (v.length) arrays_here.push_back(&v);
    if (arrays_here.empty()) return {};
    const Var* v = rng_.pick(arrays_here);
    from = v->type;
    return v->name + "[" + index(false, depth - 1) + " % " + unum(v->length) + "]";
  }

  std::string special(bool uni, int depth, Ty& from) {
    if (kind_ != BodyKind::Kernel) return {};
    if (func_name && rng_.chance(50)) {
      from = Ty::Int;
      return "(int)__func__[" + index(uni, depth - 1) + " % (sizeof(__func__) - 1)]";
    }
    if (big) {
      const Big& b = program_.big;
      switch (rng_.below(3)) {
        case 0: from = Ty::Int; return "big.v[" + index(uni, depth - 1) + " % " + unum(b.ints) + "]";
        case 1: from = Ty::Float; return "big.w[" + index(uni, depth - 1) + " % " + unum(b.floats) + "]";
        default: from = Ty::Double; return "big.x[" + index(uni, depth - 1) + " % " + unum(b.doubles) + "]";
      }
    }
    return {};
  }

  // A condition that splits the block more often than a random one does.
  std::string thread_condition(int depth) {
    switch (rng_.below(5)) {
      case 0: return "(threadIdx.x % 3u == 1u)";
      case 1: return "(threadIdx.y < blockDim.y / 2u)";
      case 2: return "((threadIdx.x ^ threadIdx.z) & 1u)";
      case 3: return "(" + index(false, depth) + " % 4u < 2u)";
      default: return expr(Ty::Bool, false, depth);
    }
  }

  // A small uniform trip count.
  std::string uniform_limit() {
    switch (rng_.below(7)) {
      case 0: return num(rng_.range(0, 4));
      case 1: return kind_ == BodyKind::Kernel ? "(int)((unsigned)a % 4u)" : "(int)((unsigned)k % 4u)";
      case 2: return "(int)(blockIdx.x % 3u) + 1";
      case 3: return "(int)(gridDim.x % 4u)";
      case 4: return "(int)(blockDim.y % 3u) + " + num(rng_.range(0, 1));
      default: {
        Ty from = Ty::Int;
        std::string v = variable(Ty::Int, true, from);
        if (v.empty()) return num(rng_.range(1, 3));
        return "(int)(" + convert(v, from, Ty::Uint) + " % 4u)";
      }
    }
  }

  // ---------------------------------------------------------------- statements

  bool may_sync() const { return barriers && uniform && !tail && !state.dead; }

  void block(int count, int depth) {
    for (int k = 0; k < count && budget > 0 && !state.dead; ++k) statement(depth);
  }

  // A scope of its own: the variables it declares end with it.
  void scoped(int count, int depth) {
    std::size_t mark = vars.size();
    ++indent;
    block(count, depth);
    --indent;
    vars.resize(mark);
  }

  void statement(int depth) {
    --budget;
    const bool nest = depth < 3;
    struct Choice {
      int weight;
      std::function<void()> make;
    };
    std::vector<Choice> choices;
    auto add = [&](bool ok, int weight, std::function<void()> make) {
      if (ok) choices.push_back({weight, std::move(make)});
    };
    const bool kernel = kind_ == BodyKind::Kernel;
    add(true, 8, [&] { declare(); });
    add(true, 8, [&] { assign(); });
    add(true, 2, [&] { declare_local_array(); });
    add(has_local_array(), 3, [&] { store_local_array(); });
    add(kind_ != BodyKind::ValueHelper, 8, [&] { emit(); });
    add(!arrays.empty(), 9, [&] { shared_write(); });
    add(kernel || !arrays.empty(), 4, [&] { atomic(); });
    add(nest, 5, [&] { divergent_if(depth); });
    add(nest, 4, [&] { divergent_loop(depth); });
    add(nest, 1, [&] { divergent_switch(depth); });
    add(true, 2, [&] { reference_update(); });
    add(true, 2, [&] { pointer_update(); });
    add(true, 1, [&] { declare_record(); });
    add(kind_ != BodyKind::ValueHelper, 1, [&] { line(rng_.chance(50) ? "__threadfence();" : "__threadfence_block();"); });
    add(may_sync(), 6, [&] { barrier(); });
    add(may_sync() && program_.counting_barriers, 2, [&] { counting_barrier(); });
    add(nest && uniform && !state.dead, barriers ? 6 : 2, [&] { uniform_if(depth); });
    add(nest && uniform && !state.dead, barriers ? 6 : 2, [&] { uniform_loop(depth); });
    add(nest && uniform && !state.dead, 1, [&] { uniform_switch(depth); });
    add(may_sync() && kernel, 3, [&] { pattern(); });
    add(may_sync() && kernel && !program_.barriers.empty(), 3, [&] { barrier_helper_call(); });
    add(loop_ != nullptr && !in_switch_, 2, [&] { loop_exit(); });
    add(kernel && uniform, 1, [&] { uniform_return(); });
    add(kernel && tail && depth > 0, 2, [&] { divergent_return(); });
    int total = 0;
    for (const Choice& c : choices) total += c.weight;
    int r = int(rng_.below(std::size_t(total)));
    for (const Choice& c : choices) {
      if (r < c.weight) {
        c.make();
        return;
      }
      r -= c.weight;
    }
  }

  bool has_local_array() const {
    for (const Var& v : vars)
      if (v.length) return true;
    return false;
  }

  void declare() {
    Ty ty = rng_.pick(kTypes);
    bool uni = uniform && rng_.chance(40);
    Var v{fresh(uni ? "u" : "v"), ty, uni};
    line(std::string(c_name(ty)) + " " + v.name + " = " + expr(ty, uni, 3) + ";");
    vars.push_back(v);
  }

  void assign() {
    std::vector<Var*> targets;
    for (Var& v : vars)
      if (v.assignable && !v.length && (!v.uniform || uniform)) targets.push_back(&v);
    if (targets.empty()) return declare();
    Var& v = *rng_.pick(targets);
    std::string e = expr(v.type, v.uniform, 3);
    switch (v.type) {
      case Ty::Bool: line(v.name + " = " + (rng_.chance(50) ? e : "(" + v.name + " != " + e + ")") + ";"); break;
      case Ty::Float:
      case Ty::Double: {
        static const char* const ops[] = {" = ", " += ", " -= ", " *= "};
        line(v.name + ops[rng_.below(4)] + e + ";");
        break;
      }
      case Ty::Uint: {
        static const char* const ops[] = {" = ", " += ", " ^= ", " *= "};
        line(v.name + ops[rng_.below(4)] + e + ";");
        break;
      }
      default: {
        static const char* const calls[] = {"add_", "sub_", "mul_", "max_"};
        line(v.name + " = " + (rng_.chance(30) ? e : std::string(calls[rng_.below(4)]) + "(" + v.name + ", " + e + ")") + ";");
      }
    }
  }

  void declare_local_array() {
    Ty ty = rng_.pick(kElementTypes);
    Var v{fresh("la"), ty, false, unsigned(rng_.range(2, 6))};
    if (rng_.chance(50)) {
      std::string init;
      for (unsigned k = 0; k < v.length; ++k) init += (k ? ", " : "") + expr(ty, false, 2);
      line(std::string(c_name(ty)) + " " + v.name + "[" + num(v.length) + "] = {" + init + "};");
    } else {
      line(std::string(c_name(ty)) + " " + v.name + "[" + num(v.length) + "];");
      std::string q = fresh("q");
      vars.push_back(Var{q, Ty::Int, false, 0, false});
      std::string e = expr(ty, false, 2);
      vars.pop_back();
      line("for (int " + q + " = 0; " + q + " < " + num(v.length) + "; ++" + q + ") " + v.name + "[" + q + "] = " + e + ";");
    }
    vars.push_back(v);
  }

  void store_local_array() {
    std::vector<const Var*> list;
    for (const Var& v : vars)
      if (v.length) list.push_back(&v);
    const Var v = *rng_.pick(list);
    line(v.name + "[" + index(false, 2) + " % " + unum(v.length) + "] = " + expr(v.type, false, 3) + ";");
  }

  void reference_update() {
    std::vector<const Var*> list;
    for (const Var& v : vars)
      if (v.assignable && !v.uniform && v.type != Ty::Bool) list.push_back(&v);
    if (list.empty()) return declare();
    const Var v = *rng_.pick(list);
    std::string r = fresh("r");
    std::string target = v.length ? v.name + "[" + index(false, 2) + " % " + unum(v.length) + "]" : v.name;
    line("{");
    ++indent;
    line(std::string(c_name(v.type)) + "& " + r + " = " + target + ";");
    line(r + " = add_(" + r + ", " + expr(v.type, false, 2) + ");");
    --indent;
    line("}");
  }

  // A thread's variable (or an element of its local array) changed through
  // a pointer a function receives.
  void pointer_update() {
    std::vector<const Var*> list;
    for (const Var& v : vars)
      if (v.assignable && !v.uniform && v.type != Ty::Bool) list.push_back(&v);
    if (list.empty()) return declare();
    const Var v = *rng_.pick(list);
    std::string target = v.length ? v.name + " + " + index(false, 2) + " % " + unum(v.length) : "&" + v.name;
    line("accumulate(" + target + ", " + expr(v.type, false, 2) + ");");
  }

  // A struct local: its fields are variables of their own.
  void declare_record() {
    std::string r = fresh("rec");
    line("Rec " + r + " = {" + expr(Ty::Double, false, 2) + ", " + expr(Ty::Float, false, 2) + ", " + expr(Ty::Int, false, 2) +
         ", " + expr(Ty::Uint, false, 2) + "};");
    vars.push_back(Var{r + ".d", Ty::Double});
    vars.push_back(Var{r + ".f", Ty::Float});
    vars.push_back(Var{r + ".i", Ty::Int});
    vars.push_back(Var{r + ".u", Ty::Uint});
  }

  void emit() {
    Ty ty = rng_.pick(kTypes);
    std::string e = "bits_(" + expr(ty, false, 3) + ")";
    if (kind_ == BodyKind::Kernel) {
      std::string w = "o[" + num(emitted_++ % kOutWords) + "]";
      line(w + " = mix_(" + w + ", " + e + ");");
    } else {
      line("acc = mix_(acc, " + e + ");");
    }
  }

  void shared_write() {
    std::vector<unsigned> list;
    for (unsigned k = 0; k < arrays.size(); ++k)
      if (may_write_own(k)) list.push_back(k);
    if (list.empty()) return emit();
    unsigned k = rng_.pick(list);
    const Array& a = arrays[k];
    // The value may not read others' slots of the array it goes to.
    no_cross_ |= bit(k);
    if (a.layout == Layout::Counters) {
      unsigned slot = rng_.below(kCounterSlots);
      line("if (t == 0u) " + a.base + "[" + num(slot) + "] = " + expr(Ty::Int, false, 2) + ";");
    } else {
      std::string slot = own_slot(a, rng_.below(a.per_thread));
      if (a.layout == Layout::Records && rng_.chance(30)) {
        line(a.base + "[" + slot + "] = Rec{" + expr(Ty::Double, false, 2) + ", " + expr(Ty::Float, false, 2) + ", " +
             expr(Ty::Int, false, 2) + ", " + expr(Ty::Uint, false, 2) + "};");
      } else if (a.passable && rng_.chance(25)) {
        line("put(" + a.base + ", " + slot + ", " + expr(a.type, false, 3) + ");");
      } else if (a.layout == Layout::Flat && (a.type == Ty::Float || a.type == Ty::Double) && rng_.chance(15)) {
        // An atomic on a slot no other thread touches: as deterministic as a store.
        const char* op = a.type == Ty::Float && rng_.chance(50) ? "atomicExch" : "atomicAdd";
        line(std::string(op) + "(&" + a.base + "[" + slot + "], " + expr(a.type, false, 2) + ");");
      } else {
        Ty type = a.type;
        std::string target = element(a, slot, type);
        if ((own_ready >> k & 1) && rng_.chance(40)) line(target + " = add_(" + target + ", " + expr(type, false, 2) + ");");
        else line(target + " = " + expr(type, false, 3) + ";");
      }
    }
    no_cross_ &= ~bit(k);
    state.written |= bit(k);
  }

  void atomic() {
    std::vector<unsigned> counters;
    for (unsigned k = 0; k < arrays.size(); ++k)
      if (arrays[k].layout == Layout::Counters && !((state.written | state.read) >> k & 1)) counters.push_back(k);
    if (!counters.empty() && (kind_ != BodyKind::Kernel || rng_.chance(50))) {
      unsigned k = rng_.pick(counters);
      const std::string& c = arrays[k].base;
      std::string v = expr(Ty::Int, false, 2);
      switch (rng_.below(5)) {
        case 0: line("atomicAdd(&" + c + "[0], " + v + ");"); break;
        case 1: line("atomicSub(&" + c + "[0], " + v + ");"); break;
        case 2: line("atomicMax(&" + c + "[1], " + v + ");"); break;
        case 3: line("atomicMin(&" + c + "[2], " + v + ");"); break;
        default: line("atomicAdd(&" + c + "[3], " + v + ");"); break;
      }
      state.atomic |= bit(k);
      return;
    }
    if (kind_ != BodyKind::Kernel) return emit();
    Ty ty = rng_.pick(kTypes);
    std::string v = expr(ty, false, 2);
    std::string w = "o[" + num(emitted_++ % kOutWords) + "]";
    switch (rng_.below(11)) {
      case 0: line("atomicAdd(&ci[" + num(rng_.below(2)) + "], " + convert(v, ty, Ty::Int) + ");"); break;
      case 9: line("atomicAdd((unsigned*)&ci[6], " + convert(v, ty, Ty::Uint) + ");"); break;
      case 10: line("atomicMax((unsigned*)&ci[7], " + convert(v, ty, Ty::Uint) + ");"); break;
      case 1: line("atomicSub(&ci[" + num(rng_.below(2)) + "], " + convert(v, ty, Ty::Int) + ");"); break;
      case 2: line("atomicMax(&ci[" + num(2 + rng_.below(2)) + "], " + convert(v, ty, Ty::Int) + ");"); break;
      case 3: line("atomicMin(&ci[" + num(4 + rng_.below(2)) + "], " + convert(v, ty, Ty::Int) + ");"); break;
      case 4: line("atomicAdd(&cu[" + num(rng_.below(2)) + "], bits_(" + v + "));"); break;
      case 5: line("atomicMax(&cu[2], bits_(" + v + "));"); break;
      case 6: line("atomicMin(&cu[3], bits_(" + v + "));"); break;
      // Atomics on words only this thread touches.
      case 7: line("atomicExch(&" + w + ", mix_(" + w + ", bits_(" + v + ")));"); break;
      default: line("atomicCAS(&" + w + ", " + w + ", mix_(" + w + ", bits_(" + v + ")));"); break;
    }
  }

  void barrier() {
    line("__syncthreads();");
    state = Effects{};
  }

  void counting_barrier() {
    static const char* const kinds[] = {"__syncthreads_count", "__syncthreads_and", "__syncthreads_or"};
    std::string pred = thread_condition(2);
    Var v{fresh("c"), Ty::Int, true};
    line("int " + v.name + " = " + kinds[rng_.below(3)] + "(" + pred + ");");
    state = Effects{};
    vars.push_back(v);
  }

  // Two branches from the same state; after, what either may have done.
  void branches(const std::string& head, bool has_else, int depth) {
    Effects before = state;
    line(head + " {");
    scoped(rng_.range(1, 4), depth + 1);
    Effects then_state = state;
    state = before;
    if (has_else) {
      line("} else {");
      scoped(rng_.range(1, 3), depth + 1);
    }
    line("}");
    state.join(then_state);
  }

  void divergent_if(int depth) {
    bool saved = uniform;
    uniform = false;
    branches("if (" + thread_condition(2) + ")", rng_.chance(40), depth);
    uniform = saved;
  }

  void uniform_if(int depth) {
    std::string cond;
    if (may_sync() && program_.counting_barriers && rng_.chance(25)) {
      cond = std::string(rng_.chance(50) ? "__syncthreads_or(" : "__syncthreads_and(") + thread_condition(2) + ")";
      state = Effects{};
    } else {
      cond = expr(Ty::Bool, true, 2);
    }
    branches("if (" + cond + ")", rng_.chance(40), depth);
  }

  void switch_cases(const std::string& selector, int depth) {
    Effects before = state;
    Effects after = Effects::unreachable();
    bool saved = in_switch_;
    in_switch_ = true;
    line("switch (" + selector + ") {");
    const unsigned cases = unsigned(rng_.range(2, 3));
    const bool has_default = rng_.chance(60);
    for (unsigned c = 0; c < cases; ++c) {
      state = before;
      line((c + 1 == cases && has_default ? std::string("default") : "case " + unum(c)) + ": {");
      scoped(rng_.range(1, 3), depth + 1);
      line("  break;");
      line("}");
      after.join(state);
    }
    line("}");
    if (!has_default) after.join(before);
    in_switch_ = saved;
    state = after;
  }

  void divergent_switch(int depth) {
    bool saved = uniform;
    uniform = false;
    switch_cases("(" + index(false, 2) + ") % 4u", depth);
    uniform = saved;
  }

  void uniform_switch(int depth) { switch_cases("(" + index(true, 2) + ") % 3u", depth); }

  // Generates a loop body after `head_line` (which opens it) and up to
  // `close_line`: generated again, under the joined state, until what its
  // end brings back to the head is no more than it was generated for (or,
  // where the block is together, it ends with a barrier). `extra` adds the
  // body's last statements; `close` builds the closing line from the state
  // at the end (a condition that reads memory sees it).
  void loop(Loop frame, const std::string& head_line, const std::function<void()>& extra,
            const std::function<std::string()>& close, int depth, bool rejoins = true) {
    Effects head = state;
    const std::string saved_text = text;
    const std::size_t mark = vars.size();
    const int saved_budget = budget;
    Loop* outer = loop_;
    const bool saved_switch = in_switch_;
    in_switch_ = false;
    for (int attempt = 0;; ++attempt) {
      assert(attempt < 64);
      text = saved_text;
      vars.resize(mark);
      budget = saved_budget;
      state = head;
      frame.head = head;
      frame.breaks = Effects::unreachable();
      loop_ = &frame;
      line(head_line);
      ++indent;
      block(rng_.range(1, 4), depth + 1);
      if (extra && !state.dead) extra();
      Effects end = state;
      if (rejoins && !end.within(head)) {
        if (frame.uniform_body && may_sync() && rng_.chance(attempt > 2 ? 100 : 60)) {
          barrier();
          end = state;
        } else {
          --indent;
          head.join(end);
          continue;
        }
      }
      --indent;
      std::string closing = close();
      line(closing);
      loop_ = outer;
      in_switch_ = saved_switch;
      vars.resize(mark);
      // Leaving: from the head (when the loop may not run), its end, or a break.
      Effects exit = rejoins ? head : state;
      if (rejoins) exit.join(end);
      exit.join(frame.breaks);
      state = exit;
      return;
    }
  }

  void divergent_loop(int depth) {
    bool saved = uniform;
    uniform = false;
    std::string q = fresh("q");
    std::string bound;
    switch (rng_.below(3)) {
      case 0: bound = "(t % 3u + 1u)"; break;
      case 1: bound = "((threadIdx.x ^ blockIdx.x) % 4u)"; break;
      default: {
        Ty from = Ty::Uint;
        std::string v = variable(Ty::Uint, false, from);
        bound = v.empty() ? "(threadIdx.x % 4u)" : "(" + convert(v, from, Ty::Uint) + " % 4u)";
      }
    }
    if (kind_ != BodyKind::Kernel && bound.find("t %") != std::string::npos) bound = "(threadIdx.x % 3u + 1u)";
    Var counter{q, Ty::Uint, false, 0, false};
    switch (rng_.below(3)) {
      case 0:
        vars.push_back(counter);
        loop(Loop{false, true}, "for (unsigned " + q + " = 0u; " + q + " < " + bound + "; ++" + q + ") {", nullptr,
             [] { return std::string("}"); }, depth);
        vars.pop_back();
        break;
      case 1:
        line("unsigned " + q + " = 0u;");
        vars.push_back(counter);
        loop(Loop{false, false}, "while (" + q + " < " + bound + ") {", [&] { line("++" + q + ";"); },
             [] { return std::string("}"); }, depth);
        break;
      default:
        line("unsigned " + q + " = 0u;");
        vars.push_back(counter);
        loop(Loop{false, true}, "do {", nullptr, [&] { return "} while (++" + q + " < " + bound + ");"; }, depth);
    }
    uniform = saved;
  }

  void uniform_loop(int depth) {
    std::string i = fresh("i");
    Var counter{i, Ty::Int, true, 0, false};
    // Before the counter is in scope: a limit never reads it.
    const std::string limit = uniform_limit();
    auto closing = [] { return std::string("}"); };
    switch (rng_.below(kind_ == BodyKind::Kernel ? 6 : 5)) {
      case 0:
        vars.push_back(counter);
        loop(Loop{true, true}, "for (int " + i + " = 0; " + i + " < " + limit + "; ++" + i + ") {", nullptr, closing, depth);
        vars.pop_back();
        break;
      case 1: {
        // Halving or doubling over the block, as reductions do.
        const std::string nt = kind_ == BodyKind::Kernel ? "nt" : "n";
        counter.type = Ty::Uint;
        vars.push_back(counter);
        std::string head = rng_.chance(50) ? "for (unsigned " + i + " = " + nt + " / 2u; " + i + " > 0u; " + i + " >>= 1) {"
                                           : "for (unsigned " + i + " = 1u; " + i + " < " + nt + "; " + i + " *= 2u) {";
        loop(Loop{true, true}, head, nullptr, closing, depth);
        vars.pop_back();
        break;
      }
      case 2:
        line("int " + i + " = 0;");
        vars.push_back(counter);
        loop(Loop{true, false}, "while (" + i + " < " + limit + ") {", [&] { line("++" + i + ";"); }, closing, depth);
        break;
      case 3: {
        line("int " + i + " = 0;");
        vars.push_back(counter);
        loop(Loop{true, true}, "do {", nullptr, [&] { return "} while (++" + i + " < " + limit + ");"; }, depth);
        break;
      }
      case 4: {
        // The loop's condition is a barrier: it goes on while any thread
        // asks for another round, at most `limit` rounds.
        if (!may_sync() || !program_.counting_barriers) return uniform_if(depth);
        line("int " + i + " = 0;");
        vars.push_back(counter);
        const std::size_t outside = vars.size();
        loop(Loop{true, false}, "do {", [&] { line("++" + i + ";"); },
             [&] {
               // The condition stands outside the body: only what was
               // declared before the loop is in scope there.
               std::vector<Var> body_vars(vars.begin() + std::ptrdiff_t(outside), vars.end());
               vars.resize(outside);
               std::string pred = thread_condition(2);
               vars.insert(vars.end(), body_vars.begin(), body_vars.end());
               state = Effects{};
               return "} while (__syncthreads_or(" + i + " < " + limit + " && " + pred + "));";
             },
             depth, false);
        break;
      }
      default: {
        // Trip count from the block's index: differs between blocks only.
        vars.push_back(counter);
        loop(Loop{true, true}, "for (int " + i + " = (int)(blk % 2u); " + i + " < (int)(blk % 4u) + 1; ++" + i + ") {", nullptr,
             closing, depth);
        vars.pop_back();
      }
    }
  }

  // break or continue, on a condition every thread running the loop agrees
  // on when the loop may hold barriers.
  void loop_exit() {
    Loop& l = *loop_;
    if (l.uniform_body && !uniform) return emit();
    std::string cond = l.uniform_body ? expr(Ty::Bool, true, 2) : thread_condition(2);
    if (l.allow_continue && state.within(l.head) && rng_.chance(50)) {
      line("if (" + cond + ") continue;");
    } else {
      line("if (" + cond + ") break;");
      l.breaks.join(state);
    }
  }

  void uniform_return() {
    line("if (" + expr(Ty::Bool, true, 2) + ") {");
    ++indent;
    emit();
    line("return;");
    --indent;
    line("}");
  }

  void divergent_return() {
    std::string cond = thread_condition(2);
    if (!program_.finish.empty() && rng_.chance(40)) line("if (" + cond + ") return " + program_.finish + "(o, bits_(" + expr(Ty::Long, false, 2) + "));");
    else line("if (" + cond + ") return;");
  }

  // A flat array with a helper-friendly type, ready to read.
  std::vector<unsigned> passable_arrays(Ty type, bool any_type) const {
    std::vector<unsigned> out;
    for (unsigned k = 0; k < arrays.size(); ++k)
      if (arrays[k].passable && (ready >> k & 1) && (any_type || arrays[k].type == type)) out.push_back(k);
    return out;
  }

  // The shared-memory templates of the prelude, where their first stretch
  // cannot race with this one.
  void pattern() {
    std::vector<unsigned> list = passable_arrays(Ty::Int, true);
    if (list.empty()) return barrier();
    unsigned k = rng_.pick(list);
    const Array& a = arrays[k];
    const char* type = c_name(a.type);
    switch (rng_.below(4)) {
      case 0: {
        if (!may_write_own(k)) return barrier();
        Var v{fresh("ex"), a.type, false};
        // It writes the array first: its value may not read others' slots.
        no_cross_ |= bit(k);
        std::string value = expr(a.type, false, 2);
        no_cross_ &= ~bit(k);
        line(std::string(type) + " " + v.name + " = exchange(" + a.base + ", " + own_slot(a, 0) + ", " + a.slots + ", " +
             value + ", " + unum(rng_.range(1, 40)) + ");");
        state = Effects{};
        vars.push_back(v);
        return;
      }
      case 1: {
        if (!state.clean(k)) return barrier();
        Var v{fresh("sum"), a.type, true};
        line(std::string(type) + " " + v.name + (rng_.chance(50) ? " = tree_sum(" : " = halving_sum(") + a.base + ", t, " +
             a.slots + ");");
        state.read |= bit(k);
        vars.push_back(v);
        return;
      }
      default: {
        if ((state.written | state.atomic) >> k & 1) return barrier();
        Var v{fresh("pre"), a.type, false};
        line(std::string(type) + " " + v.name + " = block_scan(" + a.base + ", t, " + a.slots + ");");
        state.read |= bit(k);
        vars.push_back(v);
        return;
      }
    }
  }

  void barrier_helper_call() {
    const BarrierHelper& h = rng_.pick(program_.barriers);
    std::vector<unsigned> list = passable_arrays(h.element, false);
    if (list.empty()) return barrier();
    unsigned k = rng_.pick(list);
    const Array& a = arrays[k];
    std::string call = h.name + "(" + a.base + ", " + own_slot(a, rng_.below(a.per_thread)) + ", " + a.slots + ", " +
                       expr(h.element, false, 2) + ", " + expr(Ty::Int, true, 1) + ")";
    if (rng_.chance(50)) {
      std::string w = "o[" + num(emitted_++ % kOutWords) + "]";
      line(w + " = mix_(" + w + ", " + call + ");");
    } else {
      Var v{fresh("h"), Ty::Long, false};
      line("long long " + v.name + " = (long long)" + call + ";");
      vars.push_back(v);
    }
    // Its barriers end every stretch; after the last, what it did to its
    // pointer is what the array has seen.
    Effects after;
    if (h.exit.written & 1) after.written |= bit(k);
    if (h.exit.read & 1) after.read |= bit(k);
    state = after;
  }

 private:
  Rng& rng_;
  const ProgramContext& program_;
  BodyKind kind_;
  int names_ = 0;
  unsigned emitted_ = 0;
  std::uint32_t no_cross_ = 0;  // arrays whose others' slots must not be read here
  Loop* loop_ = nullptr;
  bool in_switch_ = false;
};

// ---------------------------------------------------------------------------
// Programs

struct Shape {
  unsigned grid[3], block[3];
  unsigned threads() const { return block[0] * block[1] * block[2]; }
  unsigned blocks() const { return grid[0] * grid[1] * grid[2]; }
};

// A dynamic shared array: its element type and slots per thread.
struct DynamicPart {
  Ty type;
  unsigned per_thread;
};

struct KernelPlan {
  std::string name;
  unsigned index = 0;
  std::vector<Shape> shapes;
  unsigned max_threads = 1;
  bool big = false;
  unsigned big_position = 0;  // the Big parameter's place in the list
  std::vector<DynamicPart> dynamic;
  unsigned scratch_per_thread = 0;  // global scratch floats per thread
  std::string source;
};

std::vector<Shape> pick_shapes(Rng& rng) {
  static const unsigned blocks[][3] = {
      {1, 1, 1},  {2, 1, 1},  {7, 1, 1},   {32, 1, 1}, {33, 1, 1}, {64, 1, 1}, {100, 1, 1}, {128, 1, 1}, {255, 1, 1},
      {256, 1, 1}, {1024, 1, 1}, {7, 5, 1}, {16, 16, 1}, {8, 4, 1}, {3, 33, 1}, {32, 32, 1}, {1, 9, 1},  {9, 1, 1},
      {7, 5, 3},  {4, 4, 4},  {2, 3, 5},   {8, 8, 16}, {1, 1, 7},  {3, 1, 2},  {16, 8, 8},  {5, 2, 1},  {11, 3, 2}};
  static const unsigned grids[][3] = {{1, 1, 1}, {3, 1, 1}, {5, 1, 1}, {2, 2, 1}, {3, 2, 1}, {2, 1, 2}, {1, 2, 3}, {7, 1, 1}};
  std::vector<Shape> out;
  const unsigned count = unsigned(rng.range(2, 3));
  for (unsigned k = 0; k < count; ++k) {
    Shape s{};
    const unsigned* b = blocks[rng.below(std::size(blocks))];
    std::copy(b, b + 3, s.block);
    do {
      const unsigned* g = grids[rng.below(std::size(grids))];
      std::copy(g, g + 3, s.grid);
    } while (s.blocks() * s.threads() > 6144 && s.blocks() > 1);
    out.push_back(s);
  }
  return out;
}

class ProgramWriter {
 public:
  ProgramWriter(std::uint64_t seed, const GeneratorOptions& options) : seed_(seed), options_(options), rng_(seed) {}

  GeneratedProgram write() {
    plan_program();
    std::string helpers = write_helpers();
    std::vector<KernelPlan> kernels;
    for (unsigned k = 0; k < options_.kernels; ++k) {
      if (options_.only_kernel >= 0 && unsigned(options_.only_kernel) != k) continue;
      kernels.push_back(write_kernel(k));
    }

    GeneratedProgram out;
    std::string& s = out.source;
    s = "// Generated by difftest from seed " + std::to_string(seed_) + " (" + std::to_string(options_.kernels) +
        " kernels per program): random race-free kernels and a host main\n"
        "// that launches each over several shapes and prints a digest of what every launch wrote.\n";
    s += kPrelude;
    s += "\n" + declarations_ + helpers;
    for (const KernelPlan& k : kernels) s += "\n" + k.source;
    s += "\nGPU_DEVICE_CODE(";
    for (std::size_t k = 0; k < kernels.size(); ++k)
      s += (k ? ", " : "") + std::string("GPU_KERNEL(") + kernels[k].name + ", \"" + kernels[k].name + "\")";
    s += ")\n";
    s += write_main(kernels, out.launches);
    for (const KernelPlan& k : kernels) out.kernels.push_back(k.name);
    return out;
  }

 private:
  void plan_program() {
    context_.counting_barriers = options_.counting_barriers;
    Big& big = context_.big;
    big.ints = unsigned(rng_.range(250, 300));
    big.floats = unsigned(rng_.range(8, 40));
    big.doubles = unsigned(rng_.range(2, 12));
    declarations_ += "struct Big {\n  double x[" + num(big.doubles) + "];\n  float w[" + num(big.floats) + "];\n  int v[" +
                     num(big.ints) + "];\n};\n";
    declarations_ += "static_assert(sizeof(Big) > 1024, \"a by-value parameter over 1 KiB\");\n";
    for (unsigned k = 0; k < 2; ++k) {
      std::string g = "shade" + num(k);
      declarations_ += "static const int " + g + " = " + num(rng_.range(-99, 99)) + ";\n";
      context_.shadowed.push_back(g);
    }
    // Namespace-scope shared arrays any kernel may use.
    for (unsigned k = 0, count = rng_.below(3); k < count; ++k) {
      Ty t = rng_.chance(50) ? Ty::Int : Ty::Float;
      file_shared_.push_back({"fs" + num(k), t});
      declarations_ += std::string("__shared__ ") + c_name(t) + " fs" + num(k) + "[1024];\n";
      shared_bytes_ += 4096;
    }
  }

  std::string write_helpers() {
    std::string out;
    // Value helpers: plain computation, some reading the thread's indices.
    for (unsigned k = 0, count = unsigned(rng_.range(1, 3)); k < count; ++k) {
      ValueHelper h{"value" + num(k), rng_.pick(kTypes), {rng_.pick(kTypes), rng_.pick(kTypes)}};
      BodyWriter w(rng_, context_, BodyKind::ValueHelper);
      w.uniform = false;
      w.budget = rng_.range(1, 5);
      w.vars = {Var{"x", h.params[0]}, Var{"y", h.params[1]}};
      w.block(w.budget, 1);
      out += "\n__device__ " + std::string(c_name(h.result)) + " " + h.name + "(" + c_name(h.params[0]) + " x, " +
             c_name(h.params[1]) + " y) {\n" + w.text + "  return " + w.expr(h.result, false, 3) + ";\n}\n";
      context_.values.push_back(h);
    }
    // Device functions with barriers, called where the whole block is. They
    // take a shared array as T* with the thread's slot and the slot count;
    // what the caller did to it before is unknown, so before their first
    // barrier they only read their own slot.
    for (unsigned k = 0, count = rng_.below(3); k < count; ++k) {
      BarrierHelper h{"staged" + num(k), rng_.pick(kElementTypes), {}};
      BodyWriter w(rng_, context_, BodyKind::BarrierHelper);
      const char* type = c_name(h.element);
      w.barriers = true;
      w.budget = rng_.range(6, 14);
      w.vars = {Var{"v", h.element, false}, Var{"k", Ty::Int, true, 0, false}, Var{"own", Ty::Uint, false, 0, false},
                Var{"n", Ty::Uint, true, 0, false}};
      w.arrays.push_back(Array{"p", h.element, Layout::Flat, 1, "own", "n", true});
      w.ready = w.own_ready = 1;
      w.state = Effects::all();
      w.state.atomic = 0;  // never counters: its own slots stay readable
      std::string decl;
      const bool local_shared = rng_.chance(50);
      if (local_shared) {
        Ty t = rng_.pick(kElementTypes);
        decl = std::string("  __shared__ ") + c_name(t) + " hs[1024];\n"
               "  const unsigned ht = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);\n"
               "  const unsigned hn = blockDim.x * blockDim.y * blockDim.z;\n";
        w.arrays.push_back(Array{"hs", t, Layout::Flat, 1, "ht", "hn", false});
        w.vars.push_back(Var{"ht", Ty::Uint, false, 0, false});
        w.vars.push_back(Var{"hn", Ty::Uint, true, 0, false});
        shared_bytes_ += 1024 * size_of(t);
      }
      w.block(rng_.range(0, 3), 0);
      w.barrier();
      if (local_shared) {
        w.line("hs[ht] = " + w.expr(w.arrays[1].type, false, 2) + ";");
        w.own_ready |= 2;
        w.barrier();
        w.ready |= 2;
      }
      w.block(w.budget, 0);
      h.exit = w.state;
      out += "\n__device__ unsigned long long " + h.name + "(" + type + "* p, unsigned own, unsigned n, " + type +
             " v, int k) {\n" + decl + "  unsigned long long acc = 0x" + num(rng_.range(100, 999)) + "ull;\n" + w.text +
             "  return acc;\n}\n";
      context_.barriers.push_back(h);
    }
    // Void functions a kernel ends with `return f(...);`.
    context_.finish = "finish";
    out += "\n__device__ void finish(unsigned long long* o, unsigned long long h) {\n  o[0] = mix_(o[0], h);\n  o[3] ^= h >> 7;\n}\n";
    context_.settle = "settle";
    out += "\n__device__ void settle(unsigned long long* o, unsigned long long h) {\n  __syncthreads();\n  o[1] = mix_(o[1], h);\n}\n";
    return out;
  }

  // The arrays a kernel shares between its threads, declared in its body.
  void plan_arrays(Rng& rng, KernelPlan& plan, BodyWriter& w, std::string& decl, std::string& init, bool with_barriers) {
    const unsigned maxt = plan.max_threads;
    unsigned budget = 40000 - std::min(shared_bytes_, 30000u);
    static const char* const owners[] = {"t", "(nt - 1u - t)", "((t + K % nt) % nt)",
                                         "((threadIdx.x * blockDim.y + threadIdx.y) * blockDim.z + threadIdx.z)"};
    auto owner = [&](const std::string& name) {
      std::string o = owners[rng.below(std::size(owners))];
      if (o.find('K') != std::string::npos) o.replace(o.find('K'), 1, unum(rng.range(1, 50)));
      decl += "  const unsigned own_" + name + " = " + o + ";\n";
      return "own_" + name;
    };
    auto add = [&](Array a) {
      w.arrays.push_back(a);
      const unsigned k = unsigned(w.arrays.size() - 1);
      if (a.layout == Layout::Counters) {
        init += "  if (t == 0u) {\n    " + a.base + "[0] = 0;\n    " + a.base + "[1] = -1000000;\n    " + a.base +
                "[2] = 1000000;\n    " + a.base + "[3] = 7;\n  }\n";
      } else {
        for (unsigned j = 0; j < a.per_thread; ++j) {
          std::string slot = w.own_slot(a, j);
          if (a.layout == Layout::Records) {
            init += "  " + a.base + "[" + slot + "] = Rec{" + w.expr(Ty::Double, false, 1) + ", " + w.expr(Ty::Float, false, 1) +
                    ", " + w.expr(Ty::Int, false, 1) + ", " + w.expr(Ty::Uint, false, 1) + "};\n";
          } else {
            Ty type = a.type;
            std::string target = w.element(a, slot, type);
            init += "  " + target + " = " + w.expr(type, false, 2) + ";\n";
          }
        }
      }
      w.state.written |= 1u << k;
    };

    const unsigned count = unsigned(rng.range(1, 4));
    for (unsigned n = 0; n < count; ++n) {
      const std::string name = "sh" + num(n);
      const unsigned per = rng.chance(25) ? 2 : 1;
      Ty type = rng.pick(kElementTypes);
      const unsigned kind = rng.below(with_barriers ? 7 : 6);
      unsigned bytes = 0;
      switch (kind) {
        case 0: case 1: {  // a static array
          bytes = maxt * per * size_of(type);
          if (bytes > budget) continue;
          decl += std::string("  __shared__ ") + c_name(type) + " " + name + "[" + num(maxt * per) + "];\n";
          add(Array{name, type, Layout::Flat, per, owner(name), "nt * " + unum(per), true});
          break;
        }
        case 2: {  // rows of a 2-D array
          static const unsigned widths[] = {5, 16, 17, 33};
          const unsigned cols = widths[rng.below(std::size(widths))];
          const unsigned rows = (maxt * per + cols - 1) / cols;
          bytes = rows * cols * size_of(type);
          if (bytes > budget) continue;
          decl += std::string("  __shared__ ") + c_name(type) + " " + name + "[" + num(rows) + "][" + num(cols) + "];\n";
          add(Array{name, type, Layout::Grid, per, owner(name), "nt * " + unum(per), false});
          break;
        }
        case 3: {  // records
          bytes = maxt * per * 24;
          if (bytes > budget) continue;
          decl += "  __shared__ Rec " + name + "[" + num(maxt * per) + "];\n";
          add(Array{name, Ty::Double, Layout::Records, per, owner(name), "nt * " + unum(per), false});
          break;
        }
        case 4: {  // dynamic shared memory, sized by the launch
          if (!plan.dynamic.empty()) continue;
          Ty second = rng.pick(kElementTypes);
          if (size_of(second) > size_of(type)) std::swap(type, second);
          const unsigned per2 = rng.chance(30) ? 2 : 1;
          bytes = maxt * (per * size_of(type) + per2 * size_of(second));
          if (bytes > budget) continue;
          plan.dynamic = {{type, per}, {second, per2}};
          decl += std::string("  extern __shared__ ") + c_name(type) + " dyn_" + plan.name + "[];\n";
          decl += std::string("  ") + c_name(type) + "* const d0 = dyn_" + plan.name + ";\n";
          decl += std::string("  ") + c_name(second) + "* const d1 = (" + c_name(second) + "*)(d0 + nt * " + unum(per) + ");\n";
          add(Array{"d0", type, Layout::Flat, per, owner("d0"), "nt * " + unum(per), true});
          add(Array{"d1", second, Layout::Flat, per2, owner("d1"), "nt * " + unum(per2), true});
          break;
        }
        case 5: {  // the block's slice of a global scratch buffer
          if (plan.scratch_per_thread) continue;
          plan.scratch_per_thread = per;
          decl += "  float* const gsb = gs + (size_t)blk * nt * " + unum(per) + ";\n";
          add(Array{"gsb", Ty::Float, Layout::Flat, per, owner("gsb"), "nt * " + unum(per), true});
          break;
        }
        default: {  // a namespace-scope array, or counters
          if (!file_shared_.empty() && rng.chance(50) && maxt <= 1024) {
            auto [fname, ftype] = file_shared_[rng.below(file_shared_.size())];
            bool taken = false;
            for (const Array& a : w.arrays) taken |= a.base == fname;
            if (taken) continue;
            add(Array{fname, ftype, Layout::Flat, 1, owner(fname), "nt", true});
          } else {
            bool taken = false;
            for (const Array& a : w.arrays) taken |= a.layout == Layout::Counters;
            if (taken) continue;
            decl += "  __shared__ int sc[" + num(kCounterSlots) + "];\n";
            bytes = 16;
            add(Array{"sc", Ty::Int, Layout::Counters, 1, "0u", unum(kCounterSlots), false});
          }
        }
      }
      budget -= std::min(budget, bytes);
    }
  }

  KernelPlan write_kernel(unsigned index) {
    // Each kernel from a generator of its own: a program of one kernel
    // (--only) holds the same kernel as the full program.
    Rng rng(seed_ * 0x9e3779b97f4a7c15ull + index * 0xda942042e4dd58b5ull + 1);
    KernelPlan plan;
    plan.name = "k" + num(index);
    plan.index = index;
    plan.shapes = pick_shapes(rng);
    for (const Shape& s : plan.shapes) plan.max_threads = std::max(plan.max_threads, s.threads());
    const bool with_barriers = rng.chance(75);
    plan.big = rng.chance(20);
    plan.big_position = rng.below(3);

    BodyWriter w(rng, context_, BodyKind::Kernel);
    w.barriers = with_barriers;
    w.tail = !with_barriers;
    w.big = plan.big;
    w.func_name = rng.chance(20);
    w.budget = rng.range(14, 40);
    for (const char* name : {"t", "gid"}) w.vars.push_back(Var{name, Ty::Uint, false, 0, false});
    for (const char* name : {"nt", "blk"}) w.vars.push_back(Var{name, Ty::Uint, true, 0, false});

    std::string decl, init;
    if (with_barriers || rng.chance(50)) plan_arrays(rng, plan, w, decl, init, with_barriers);

    std::string params = "const int* gi, const float* gf, const double* gd, unsigned long long* out, int* ci, "
                         "unsigned long long* cu, float* gs, int n, int a, int b, float fa, double da";
    if (plan.big) {
      if (plan.big_position == 0) params = "Big big, " + params;
      else if (plan.big_position == 1) params.insert(params.find("int* ci"), "Big big, ");
      else params += ", Big big";
    }

    std::string& s = plan.source;
    s = "__global__ void " + plan.name + "(" + params + ") {\n";
    s += "  const unsigned t = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);\n";
    s += "  const unsigned nt = blockDim.x * blockDim.y * blockDim.z;\n";
    s += "  const unsigned blk = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);\n";
    s += "  const unsigned gid = blk * nt + t;\n";
    s += "  unsigned long long* const o = out + (size_t)gid * " + unum(kOutWords) + ";\n";
    if (!with_barriers && rng.chance(60)) {
      s += rng.chance(30) ? "  if (gid >= (unsigned)n) return finish(o, 1ull);\n" : "  if (gid >= (unsigned)n) return;\n";
    }
    s += decl;

    // Shared arrays start with every thread filling its own slots.
    w.text = init;
    w.own_ready = (1u << w.arrays.size()) - 1;
    if (w.func_name) w.emit();
    bool shadow = rng.chance(20);
    const std::string shade = context_.shadowed[rng.below(context_.shadowed.size())];
    if (shadow) {
      // The global, then a local of the same name declared through a macro.
      w.line("o[0] = mix_(o[0], bits_(" + shade + "));");
      w.line("LOCAL(int, " + shade + ", " + w.expr(Ty::Int, false, 2) + ");");
      w.vars.push_back(Var{shade, Ty::Int, false});
    }
    w.block(rng.range(0, 3), 0);
    if (with_barriers) {
      if (!w.state.dead) {
        if (rng.chance(70)) w.barrier();
        else if (context_.counting_barriers) w.counting_barrier();
        else w.barrier();
      }
      w.ready = w.own_ready;
    }
    w.block(w.budget, 0);
    // Ends with a void function with a barrier, or first a stretch after
    // the last barrier where threads may leave on their own.
    const bool settle = with_barriers && w.may_sync() && rng.chance(15);
    if (with_barriers && !settle && w.may_sync() && rng.chance(15)) {
      w.barrier();  // the kernel's last statement
    } else if (with_barriers && !settle) {
      w.tail = true;
      w.block(rng.range(1, 4), 0);
    }
    for (const Var& v : w.vars)
      if (!v.length && rng.chance(50)) w.line("o[3] = mix_(o[3], bits_(" + v.name + "));");
    if (shadow) w.line("o[2] = mix_(o[2], bits_(" + shade + "));");
    if (w.func_name) w.line("o[1] = mix_(o[1], bits_(__func__[sizeof(__func__) - 2]));");
    if (settle) w.line("return settle(o, bits_(" + w.expr(Ty::Double, false, 2) + "));");
    else if (rng.chance(15)) w.line("return finish(o, bits_(" + w.expr(Ty::Int, false, 2) + "));");
    s += w.text + "}\n";
    return plan;
  }

  std::string write_main(const std::vector<KernelPlan>& kernels, unsigned& launches) {
    std::size_t out_words = 1, scratch = 1;
    for (const KernelPlan& k : kernels)
      for (const Shape& s : k.shapes) {
        out_words = std::max<std::size_t>(out_words, std::size_t(s.blocks()) * s.threads() * kOutWords);
        scratch = std::max<std::size_t>(scratch, std::size_t(s.blocks()) * s.threads() * std::max(1u, k.scratch_per_thread));
      }
    std::string m;
    m += "\nstruct Buffers {\n  int* gi;\n  float* gf;\n  double* gd;\n  unsigned long long* out;\n  int* ci;\n"
         "  unsigned long long* cu;\n  float* gs;\n};\n";
    m += "static const size_t kOutWords = " + num(out_words) + ", kScratch = " + num(scratch) + ";\n";
    m += R"(static const int kCounters[8] = {0, 0, -2147483647 - 1, -2147483647 - 1, 2147483647, 2147483647, 0, 0};
static const unsigned long long kWideCounters[4] = {0, 0, 0, ~0ull};

// Every launch starts from the same output words, counters and scratch.
static void reset(const Buffers& d, size_t words) {
  static unsigned long long out[kOutWords];
  static float scratch[kScratch];
  for (size_t i = 0; i < words; ++i) out[i] = initial_word(i);
  cudaMemcpy(d.out, out, words * sizeof(unsigned long long), cudaMemcpyHostToDevice);
  cudaMemcpy(d.ci, kCounters, sizeof kCounters, cudaMemcpyHostToDevice);
  cudaMemcpy(d.cu, kWideCounters, sizeof kWideCounters, cudaMemcpyHostToDevice);
  cudaMemcpy(d.gs, scratch, sizeof scratch, cudaMemcpyHostToDevice);
}

// One line per launch: its digest, or why it failed.
static void report(const char* kernel, int index, dim3 g, dim3 b, cudaError_t status, const Buffers& d, size_t words,
                   size_t scratch_floats) {
  if (status == cudaSuccess) status = cudaGetLastError();
  if (status == cudaSuccess) status = cudaThreadSynchronize();
  printf("%s #%d grid %ux%ux%u block %ux%ux%u: ", kernel, index, g.x, g.y, g.z, b.x, b.y, b.z);
  if (status != cudaSuccess) {
    printf("launch failed: %s\n", cudaGetErrorString(status));
    return;
  }
  static unsigned long long out[kOutWords];
  static float scratch[kScratch];
  int counters[8];
  unsigned long long wide[4];
  cudaMemcpy(out, d.out, words * sizeof(unsigned long long), cudaMemcpyDeviceToHost);
  cudaMemcpy(counters, d.ci, sizeof counters, cudaMemcpyDeviceToHost);
  cudaMemcpy(wide, d.cu, sizeof wide, cudaMemcpyDeviceToHost);
  cudaMemcpy(scratch, d.gs, sizeof scratch, cudaMemcpyDeviceToHost);
  size_t written = 0;
  for (size_t i = 0; i < words; ++i) written += out[i] != initial_word(i);
  unsigned long long h = 0xcbf29ce484222325ull;
  h = fnv1a(h, out, words * sizeof(unsigned long long));
  h = fnv1a(h, counters, sizeof counters);
  h = fnv1a(h, wide, sizeof wide);
  h = fnv1a(h, scratch, scratch_floats * sizeof(float));
  printf("%016llx, %zu of %zu words written\n", h, written, words);
  if (getenv("DIFFTEST_DUMP"))
    for (size_t i = 0; i < words; ++i) printf("  out[%zu] = %016llx\n", i, out[i]);
}

int main() {
  // A line per launch, out before a later launch can crash the program.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // Inputs: deterministic, with some extremes among them.
  static int hi[)" + num(kInputs) + R"(];
  static float hf[)" + num(kInputs) + R"(];
  static double hd[)" + num(kInputs) + R"(];
  unsigned long long x = )" + num(seed_ % 1000003 + 1) + R"(ull;
  for (int i = 0; i < )" + num(kInputs) + R"(; ++i) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    const int r = (int)(x >> 33);
    hi[i] = i % 61 == 7 ? (i % 2 ? 2147483647 : -2147483647 - 1) : r % 2001 - 1000;
    hf[i] = i % 53 == 5 ? 3.0e38f : (float)(r % 20001 - 10000) / 1250.0f;
    hd[i] = i % 47 == 3 ? -1.0e300 : (double)(r % 200001 - 100000) / 3125.0;
  }
  Buffers d;
  if (cudaMalloc(&d.gi, sizeof hi) != cudaSuccess || cudaMalloc(&d.gf, sizeof hf) != cudaSuccess ||
      cudaMalloc(&d.gd, sizeof hd) != cudaSuccess || cudaMalloc(&d.out, kOutWords * 8) != cudaSuccess ||
      cudaMalloc(&d.ci, sizeof kCounters) != cudaSuccess || cudaMalloc(&d.cu, sizeof kWideCounters) != cudaSuccess ||
      cudaMalloc(&d.gs, kScratch * sizeof(float)) != cudaSuccess) {
    printf("device allocation failed\n");
    return 1;
  }
  cudaMemcpy(d.gi, hi, sizeof hi, cudaMemcpyHostToDevice);
  cudaMemcpy(d.gf, hf, sizeof hf, cudaMemcpyHostToDevice);
  cudaMemcpy(d.gd, hd, sizeof hd, cudaMemcpyHostToDevice);
  static Big big;
  for (int i = 0; i < (int)(sizeof big.v / sizeof big.v[0]); ++i) big.v[i] = i * 7919 - 100000;
  for (int i = 0; i < (int)(sizeof big.w / sizeof big.w[0]); ++i) big.w[i] = (float)i * 0.75f - 3.0f;
  for (int i = 0; i < (int)(sizeof big.x / sizeof big.x[0]); ++i) big.x[i] = (double)i * -1.5 + 0.125;
)";
    launches = 0;
    for (const KernelPlan& k : kernels) {
      Rng rng(seed_ ^ (0x5bd1e995ull * (k.index + 1)));
      for (std::size_t i = 0; i < k.shapes.size(); ++i) {
        const Shape& s = k.shapes[i];
        const unsigned threads = s.blocks() * s.threads();
        std::size_t dynamic = 0;
        for (const DynamicPart& p : k.dynamic) dynamic += std::size_t(s.threads()) * p.per_thread * size_of(p.type);
        std::string args = "d.gi, d.gf, d.gd, d.out, d.ci, d.cu, d.gs, " + num(threads - threads / 5) + ", " +
                           num(rng.range(-40, 40)) + ", " + num((long long)(std::int32_t)rng.next()) + ", " +
                           num(rng.range(-30, 30)) + ".25f, " + num(rng.range(-30, 30)) + ".5";
        if (k.big) {
          if (k.big_position == 0) args = "big, " + args;
          else if (k.big_position == 1) args.insert(args.find("d.ci"), "big, ");
          else args += ", big";
        }
        m += "  {\n";
        m += "    const dim3 grid(" + num(s.grid[0]) + ", " + num(s.grid[1]) + ", " + num(s.grid[2]) + "), block(" +
             num(s.block[0]) + ", " + num(s.block[1]) + ", " + num(s.block[2]) + ");\n";
        m += "    reset(d, " + num(std::size_t(threads) * kOutWords) + ");\n";
        m += "    cudaError_t status = launch(" + k.name + ", grid, block, " + num(dynamic) + ", " + args + ");\n";
        m += "    report(\"" + k.name + "\", " + num(i) + ", grid, block, status, d, " + num(std::size_t(threads) * kOutWords) +
             ", " + num(std::size_t(threads) * k.scratch_per_thread) + ");\n";
        m += "  }\n";
        ++launches;
      }
    }
    m += "  return 0;\n}\n";
    return m;
  }

  std::uint64_t seed_;
  GeneratorOptions options_;
  Rng rng_;
  ProgramContext context_;
  std::string declarations_;
  std::vector<std::pair<std::string, Ty>> file_shared_;
  unsigned shared_bytes_ = 0;  // shared memory any kernel may already use
};

}  // namespace

GeneratedProgram generate_program(std::uint64_t seed, const GeneratorOptions& options) {
  return ProgramWriter(seed, options).write();
}

}  // namespace difftest
