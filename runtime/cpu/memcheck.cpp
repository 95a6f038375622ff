#include "memcheck.h"

#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "block_runner.h"
#include "common/environment.h"
#include "device.h"
#include "fault.h"
#include "launch_record.h"
#include "thread_state.h"

// Present (and 1) when the program was compiled for checking (the dialect
// defines it under GPU_MEMCHECK).
extern "C" __attribute__((weak)) const int __gpu_memcheck_build;

namespace gpu_runtime::cpu {

namespace {

/// The source place of a checked access, as the kernel compiler lays it out.
struct Site {
  const char* file;
  int line;
  int column;
  const char* function;  ///< demangled name of the function holding the access
};

constexpr int kRead = 1, kWrite = 2;
constexpr unsigned kAlignShift = 4;  // the kind's bits from here up: log2 of the assumed alignment
constexpr std::uintptr_t kSharedCapacity = DeviceLimits::kSharedMemoryPerBlock;

// An address range the checks have already placed: a live device block, or
// memory of the program that is not device memory (its static data, the
// running thread's stack). The cache of them is direct-mapped by 256 KiB
// chunk: device blocks lie 256 KiB of guard pages apart, so a chunk never
// holds the bytes of two.
struct Known {
  std::uintptr_t lo = 0;
  std::size_t size = 0;  // 0: an empty slot; the top bit: a device block
};
constexpr std::size_t kDeviceBit = std::size_t{1} << 63;
constexpr unsigned kKnownShift = 18;
constexpr std::size_t kKnownSlots = 1024;

// Shared memory in the barrier phase that last touched it: who wrote a
// byte and (up to two) who read it, packed in 64 bits: the phase (30 bits,
// as a tag), a split flag, and the writer's and the readers' linear thread
// indices + 1 (11 bits each; 0: none). Their source places are kept beside,
// for reports. Cells cover 4-byte words, which the usual whole-word
// accesses judge at once; a word that an access of part of it touches in a
// phase is split, its bytes then judged by cells of their own.
using RaceCell = std::uint64_t;
constexpr unsigned kWriterShift = 31, kReaderShift[2] = {42, 53};
constexpr RaceCell kPhaseMask = (RaceCell{1} << 30) - 1, kSplit = RaceCell{1} << 30, kThreadMask = 0x7ff;

unsigned field(RaceCell c, unsigned shift) { return static_cast<unsigned>(c >> shift & kThreadMask); }

struct Shadow {
  std::unique_ptr<RaceCell[]> cells;
  std::unique_ptr<const Site*[]> writer_sites, reader_sites[2];
  void allocate(std::size_t n) {
    cells.reset(new RaceCell[n]());
    writer_sites.reset(new const Site*[n]());
    for (auto& sites : reader_sites) sites.reset(new const Site*[n]());
  }
};

// A range the running block touched.
struct Access {
  std::uintptr_t lo, hi;
  bool write;
};

// The site that last extended each of a few ranges: consecutive accesses
// of one instruction usually extend its range.
struct Stream {
  const Site* site = nullptr;
  std::size_t access = 0;
};
constexpr std::size_t kStreams = 32;

struct WorkerChecks {
  Launch* launch = nullptr;
  LaunchChecks* checks = nullptr;
  bool memcheck = false, footprint = false;
  // The running block.
  std::uintptr_t shared_lo = 0;
  std::size_t shared_bytes = 0;
  std::uint64_t linear = 0;
  uint3 block{0, 0, 0}, block_dim{1, 1, 1};
  std::uint64_t phase = 0;  // barrier phases, unique across this worker's blocks
  std::unique_ptr<Known[]> known{new Known[kKnownSlots]};
  std::vector<Access> log;
  Stream streams[kStreams];
  // Shared memory's race cells, by word and by byte.
  Shadow words, bytes;
  std::set<std::pair<const Site*, const Site*>> races_reported;
};

// The worker's checks while it runs a checked launch, else null: the one
// thing every check reads first.
constinit thread_local WorkerChecks* active = nullptr;
thread_local WorkerChecks worker;

// ---------------------------------------------------------------------------
// Memory that is not device memory but that kernel code may touch.

struct Segment {
  std::uintptr_t lo, hi;
};

// The loaded images' segments (code, constants, data): tables and
// __constant__ variables of kernel code live there.
const std::vector<Segment>& static_data() {
  static const std::vector<Segment> segments = [] {
    std::vector<Segment> out;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
          auto& list = *static_cast<std::vector<Segment>*>(data);
          for (int i = 0; i < info->dlpi_phnum; ++i) {
            const ElfW(Phdr)& ph = info->dlpi_phdr[i];
            if (ph.p_type != PT_LOAD) continue;
            const std::uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
            list.push_back({lo, lo + ph.p_memsz});
          }
          return 0;
        },
        &out);
    return out;
  }();
  return segments;
}

// The range of the program's own memory that holds `a`, if kernel code may
// touch it.
bool program_memory(std::uintptr_t a, Known& out) {
  if (BlockRunner* runner = BlockRunner::current()) {
    std::uintptr_t lo = 0;
    std::size_t size = 0;
    if (runner->stack_holding(reinterpret_cast<const void*>(a), lo, size)) {
      out = {lo, size};
      return true;
    }
  }
  for (const Segment& s : static_data())
    if (a >= s.lo && a < s.hi) {
      out = {s.lo, s.hi - s.lo};
      return true;
    }
  return false;
}

// ---------------------------------------------------------------------------
// Reports.

std::mutex report_mu;

void write_report(const std::string& text) {
  std::lock_guard lock(report_mu);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::string base_name(const char* path) {
  if (!path) return "?";
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

std::string place(const Site* site) {
  std::string out = base_name(site->file) + ":" + std::to_string(site->line);
  if (site->column > 0) out += ":" + std::to_string(site->column);
  return out + " (" + (site->function ? site->function : "?") + ")";
}

std::string triple(uint3 v) {
  return "(" + std::to_string(v.x) + ", " + std::to_string(v.y) + ", " + std::to_string(v.z) + ")";
}

std::string hex(std::uintptr_t a) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(a));
  return text;
}

const char* access_word(int kind) {
  return (kind & kRead) && (kind & kWrite) ? "atomic" : (kind & kWrite) ? "write" : "read";
}

uint3 thread_of(const WorkerChecks& w, unsigned linear) {
  return uint3{linear % w.block_dim.x, linear / w.block_dim.x % w.block_dim.y,
               linear / (w.block_dim.x * w.block_dim.y)};
}

// Where `a` lies among the launch's device blocks, as reports name it.
std::string describe(const WorkerChecks& w, std::uintptr_t a, std::uint64_t bytes) {
  const DeviceBlock* best = nullptr;
  for (const DeviceBlock& b : w.checks->blocks)
    if (a >= b.span_lo && a < b.span_hi) best = &b;
  if (!best) return hex(a) + " is not device memory (no device allocation near it)";
  const auto off = static_cast<std::int64_t>(a - best->base);
  const std::string at = "allocation " + std::to_string(best->index) + (off < 0 ? " - " : " + ") +
                         std::to_string(off < 0 ? -off : off);
  const std::string size = std::to_string(best->size) + " bytes";
  if (best->freed) return hex(a) + " is freed " + at + " (" + size + ")";
  if (off < 0) return hex(a) + " is " + at + ", before its start";
  if (static_cast<std::uint64_t>(off) >= best->size) return hex(a) + " is " + at + ", past the end of its " + size;
  if (off + bytes <= best->size) return hex(a) + " is " + at + " (" + size + ")";
  return hex(a) + " is " + at + ", reaching " + std::to_string(off + bytes - best->size) +
         " bytes past the end of its " + size;
}

// What a failed check found.
enum class Failure { kGlobalBounds, kFreed, kGlobalAlignment, kSharedBounds, kSharedAlignment };

std::uintptr_t alignment_of(int kind) {
  return std::uintptr_t{1} << std::min<unsigned>(static_cast<unsigned>(kind) >> kAlignShift, 12);
}

bool misaligned(std::uintptr_t a, int kind) { return (a & (alignment_of(kind) - 1)) != 0; }

// Reports the launch's first failed check (an access of `bytes` at `a`) and
// leaves the kernel code; the worker stops the launch with status 700. The
// report's strings are gone before the jump, which runs no destructors.
[[noreturn, gnu::noinline, gnu::cold]] void fail(WorkerChecks& w, Failure failure, std::uintptr_t a,
                                                 std::uint64_t bytes, int kind, const Site* site) {
  if (!w.checks->reported.exchange(true)) {
    const bool shared = failure == Failure::kSharedBounds || failure == Failure::kSharedAlignment;
    const bool alignment = failure == Failure::kGlobalAlignment || failure == Failure::kSharedAlignment;
    const std::uintptr_t offset = a - w.shared_lo;
    std::string where = shared ? hex(a) + " is shared memory offset " + std::to_string(offset) : describe(w, a, bytes);
    if (alignment) where += ", not a multiple of " + std::to_string(alignment_of(kind));
    else if (shared) where += ", past the end of the block's " + std::to_string(w.shared_bytes) + " bytes";
    const std::string what = std::string(failure == Failure::kFreed ? "use after free: " : "") +
                             (alignment ? "misaligned " : "invalid ") + (shared ? "shared " : "global ") +
                             access_word(kind) + " of " + std::to_string(bytes) + " bytes";
    write_report("gpu memcheck: " + what + " in kernel " + readable_name(w.launch->name) + "\ngpu memcheck:   at " +
                 place(site) + "\ngpu memcheck:   by thread " + triple(running_thread.thread) + " of block " +
                 triple(w.block) + "\ngpu memcheck:   address " + where + "\n");
  }
  leave_kernel_code();
}

[[gnu::noinline, gnu::cold]] void report_race(WorkerChecks& w, std::uintptr_t offset, const char* first_kind, unsigned first_thread,
                 const Site* first_site, int kind, unsigned thread, const Site* site) {
  const auto key = std::minmax(first_site, site);
  if (!w.races_reported.insert(key).second) return;
  static std::mutex mu;
  static std::set<std::pair<const Site*, const Site*>> reported;
  {
    std::lock_guard lock(mu);
    if (!reported.insert(key).second) return;
  }
  write_report("gpu memcheck: shared memory race in kernel " + readable_name(w.launch->name) + ", block " +
               triple(w.block) + ", at shared memory offset " + std::to_string(offset) + "\ngpu memcheck:   " +
               first_kind + " by thread " + triple(thread_of(w, first_thread)) + " at " + place(first_site) +
               "\ngpu memcheck:   " + access_word(kind) + " by thread " + triple(thread_of(w, thread)) + " at " +
               place(site) + "\ngpu memcheck:   with no barrier between them\n");
}

// ---------------------------------------------------------------------------
// The checks.

// One thread's access to one byte against the byte's cell: the cell after
// it, or, when another thread touched the byte in this phase and one of the
// two wrote, which of the cell's threads that was (the writer, reader 0 or
// reader 1).
struct Step {
  RaceCell next;
  int other;  // 0: no race; 1 writer; 2, 3: reader 0, 1
};

Step step(RaceCell c, RaceCell phase, unsigned me, bool write) {
  if ((c & kPhaseMask) != phase) c = phase;
  const unsigned writer = field(c, kWriterShift), r0 = field(c, kReaderShift[0]), r1 = field(c, kReaderShift[1]);
  if (writer && writer != me) return {c, 1};
  if (write) {
    if (r0 && r0 != me) return {c, 2};
    if (r1 && r1 != me) return {c, 3};
    return {(c & ~(RaceCell{kThreadMask} << kWriterShift)) | RaceCell{me} << kWriterShift, 0};
  }
  if (!r0) return {c | RaceCell{me} << kReaderShift[0], 0};
  if (r0 != me && !r1) return {c | RaceCell{me} << kReaderShift[1], 0};
  return {c, 0};
}

// Judges one thread's access to `n` cells of `shadow` from `at` that are
// all `c` (each cell `width` bytes); false when it raced (and was reported).
[[gnu::always_inline]] inline bool judge(WorkerChecks& w, Shadow& shadow, std::size_t width, std::size_t at, std::size_t n, RaceCell c,
           RaceCell phase, unsigned thread, bool write, int kind, const Site* site) {
  const unsigned me = thread + 1;
  const Step s = step(c, phase, me, write);
  RaceCell* cells = shadow.cells.get() + at;
  if (s.other != 0) [[unlikely]] {
    const unsigned shift = s.other == 1 ? kWriterShift : kReaderShift[s.other - 2];
    const Site* earlier = s.other == 1 ? shadow.writer_sites[at] : shadow.reader_sites[s.other - 2][at];
    report_race(w, at * width, s.other == 1 ? "write" : "read", field(s.next, shift) - 1, earlier, kind, thread,
                site);
    // Judged from here on as if the phase began with this access.
    std::fill(cells, cells + n, step(phase, phase, me, write).next);
    const Site** sites = &(write ? shadow.writer_sites : shadow.reader_sites[0])[at];
    std::fill(sites, sites + n, site);
    return false;
  }
  const RaceCell before = (c & kPhaseMask) == phase ? c : phase;
  std::fill(cells, cells + n, s.next);
  if (s.next != before) {
    if (field(s.next, kWriterShift) != field(before, kWriterShift))
      std::fill(&shadow.writer_sites[at], &shadow.writer_sites[at + n], site);
    for (int r = 0; r < 2; ++r)
      if (field(s.next, kReaderShift[r]) != field(before, kReaderShift[r]))
        std::fill(&shadow.reader_sites[r][at], &shadow.reader_sites[r][at + n], site);
  }
  return true;
}

// Judges cells `first` .. `last` - 1 of `shadow` a run of equal cells at a time.
bool judge_runs(WorkerChecks& w, Shadow& shadow, std::size_t width, std::size_t first, std::size_t last,
                RaceCell phase, unsigned thread, bool write, int kind, const Site* site) {
  const RaceCell* cells = shadow.cells.get();
  for (std::size_t at = first; at < last;) {
    std::size_t run = 1;
    while (at + run < last && cells[at + run] == cells[at]) ++run;
    if (!judge(w, shadow, width, at, run, cells[at], phase, thread, write, kind, site)) return false;
    at += run;
  }
  return true;
}

// Word `word` is judged by its bytes from now on in this phase.
void split(WorkerChecks& w, std::size_t word, RaceCell phase) {
  RaceCell& c = w.words.cells[word];
  if ((c & kPhaseMask) == phase && (c & kSplit)) return;
  const bool current = (c & kPhaseMask) == phase;
  for (std::size_t b = 4 * word; b < 4 * word + 4; ++b) {
    w.bytes.cells[b] = current ? c : phase;
    if (!current) continue;
    w.bytes.writer_sites[b] = w.words.writer_sites[word];
    for (int r = 0; r < 2; ++r) w.bytes.reader_sites[r][b] = w.words.reader_sites[r][word];
  }
  c = (current ? c : phase) | kSplit;
}

// Races: the accesses of the phase so far, by word, or by byte in words
// that were split.
void check_race(WorkerChecks& w, std::uintptr_t offset, std::uint64_t bytes, int kind, const Site* site) {
  const uint3 t = running_thread.thread;
  const unsigned thread = t.x + w.block_dim.x * (t.y + w.block_dim.y * t.z);
  const bool write = (kind & kWrite) != 0;
  const RaceCell phase = w.phase & kPhaseMask;
  const std::size_t first = offset / 4, last = (offset + bytes + 3) / 4;
  if (offset % 4 == 0 && bytes % 4 == 0) {
    for (std::size_t word = first; word < last;) {
      const RaceCell c = w.words.cells[word];
      if ((c & kPhaseMask) == phase && (c & kSplit)) {
        if (!judge_runs(w, w.bytes, 1, 4 * word, 4 * word + 4, phase, thread, write, kind, site)) return;
        ++word;
        continue;
      }
      std::size_t run = 1;
      while (word + run < last && w.words.cells[word + run] == c) ++run;
      if (!judge(w, w.words, 4, word, run, c, phase, thread, write, kind, site)) return;
      word += run;
    }
    return;
  }
  for (std::size_t word = first; word < last; ++word) split(w, word, phase);
  judge_runs(w, w.bytes, 1, offset, offset + bytes, phase, thread, write, kind, site);
}

[[gnu::noinline]] void check_shared(WorkerChecks& w, std::uintptr_t offset, std::uint64_t bytes, int kind,
                                    const Site* site) {
  if (!w.memcheck || bytes == 0) return;
  if (offset >= w.shared_bytes || bytes > w.shared_bytes - offset)
    fail(w, Failure::kSharedBounds, w.shared_lo + offset, bytes, kind, site);
  if (misaligned(w.shared_lo + offset, kind)) fail(w, Failure::kSharedAlignment, w.shared_lo + offset, bytes, kind, site);
  // Atomics may meet in one phase; plain accesses of two threads may not.
  if ((kind & (kRead | kWrite)) != (kRead | kWrite)) check_race(w, offset, bytes, kind, site);
}

[[gnu::noinline]] void record(WorkerChecks& w, std::uintptr_t a, std::uint64_t bytes, int kind, const Site* site) {
  const bool write = (kind & kWrite) != 0;
  const std::uintptr_t hi = a + bytes;
  Stream& s = w.streams[(reinterpret_cast<std::uintptr_t>(site) >> 4) % kStreams];
  if (s.site == site && s.access < w.log.size()) {
    Access& r = w.log[s.access];
    if (r.write == write && a <= r.hi && hi >= r.lo) {
      r.lo = std::min(r.lo, a);
      r.hi = std::max(r.hi, hi);
      return;
    }
  }
  s.site = site;
  s.access = w.log.size();
  w.log.push_back({a, hi, write});
}

Known& known_slot(WorkerChecks& w, std::uintptr_t a) { return w.known[(a >> kKnownShift) % kKnownSlots]; }

// Accesses the cache of known ranges did not place.
[[gnu::noinline]] void check_unknown(WorkerChecks& w, std::uintptr_t a, std::uint64_t bytes, int kind,
                                     const Site* site) {
  if (bytes == 0) return;
  const std::vector<DeviceBlock>& blocks = w.checks->blocks;
  auto it = std::upper_bound(blocks.begin(), blocks.end(), a,
                             [](std::uintptr_t v, const DeviceBlock& b) { return v < b.span_lo; });
  if (it != blocks.begin() && a < std::prev(it)->span_hi) {
    const DeviceBlock& b = *std::prev(it);
    const std::uintptr_t off = a - b.base;
    if (!b.freed && a >= b.base && off < b.size && bytes <= b.size - off) {
      known_slot(w, a) = {b.base, b.size | kDeviceBit};
      if (w.memcheck && misaligned(a, kind)) fail(w, Failure::kGlobalAlignment, a, bytes, kind, site);
      if (w.footprint) record(w, a, bytes, kind, site);
      return;
    }
    if (!w.memcheck) return;
    fail(w, b.freed ? Failure::kFreed : Failure::kGlobalBounds, a, bytes, kind, site);
  }
  Known mine;
  if (program_memory(a, mine)) {
    if (a - mine.lo + bytes <= mine.size) known_slot(w, a) = mine;
    return;
  }
  if (w.memcheck) fail(w, Failure::kGlobalBounds, a, bytes, kind, site);
}

// Merges a block's ranges: all of them, and the written ones.
void store_footprint(WorkerChecks& w) {
  std::vector<Access>& log = w.log;
  std::sort(log.begin(), log.end(), [](const Access& a, const Access& b) { return a.lo < b.lo; });
  common::CtaAccesses out;
  for (const Access& r : log) {
    for (common::ByteRanges* list : {&out.touched, r.write ? &out.written : nullptr}) {
      if (!list) continue;
      if (!list->empty() && r.lo <= list->back().second) list->back().second = std::max(list->back().second, r.hi);
      else list->push_back({r.lo, r.hi});
    }
  }
  if (w.linear < w.checks->ctas.size()) w.checks->ctas[w.linear] = std::move(out);
  log.clear();
  for (Stream& s : w.streams) s = Stream{};
}

}  // namespace

std::shared_ptr<LaunchChecks> checks_for_launch(std::uint64_t blocks) {
  const common::Environment& env = common::environment();
  if (!env.memcheck && !env.footprint) return nullptr;
  if (&__gpu_memcheck_build == nullptr) {
    static std::once_flag said;
    std::call_once(said, [&] {
      std::fprintf(stderr, "gpu runtime: %s has no effect: the program was not built for checking (gpucc --memcheck)\n",
                   env.memcheck ? "CUDART_MEMCHECK=1" : "CUDART_FOOTPRINT=1");
    });
    return nullptr;
  }
  auto checks = std::make_shared<LaunchChecks>();
  checks->memcheck = env.memcheck;
  checks->footprint = env.footprint;
  checks->blocks = device_memory().blocks();
  if (env.footprint) checks->ctas.resize(blocks);
  static_data();  // found once, before any worker needs it
  return checks;
}

void begin_checked_launch(Launch& launch) {
  WorkerChecks& w = worker;
  w.launch = &launch;
  w.checks = launch.checks.get();
  w.memcheck = w.checks->memcheck;
  w.footprint = w.checks->footprint;
  std::fill(w.known.get(), w.known.get() + kKnownSlots, Known{});
  if (w.memcheck && !w.words.cells) {
    w.words.allocate(kSharedCapacity / 4);
    w.bytes.allocate(kSharedCapacity);
  }
  active = &w;
}

void end_checked_launch() {
  active = nullptr;
  worker.launch = nullptr;
  worker.checks = nullptr;
}

void begin_checked_block(std::uint64_t linear, uint3 block, uint3 block_dim, const void* shared,
                         std::size_t shared_bytes) {
  WorkerChecks& w = worker;
  w.linear = linear;
  w.block = block;
  w.block_dim = block_dim;
  w.shared_lo = reinterpret_cast<std::uintptr_t>(shared);
  w.shared_bytes = shared_bytes;
  ++w.phase;
  w.log.clear();
  active = &w;
}

void end_checked_block() {
  WorkerChecks& w = worker;
  if (w.footprint && w.checks) store_footprint(w);
  ++w.phase;
}

void next_checked_phase() { ++worker.phase; }

}  // namespace gpu_runtime::cpu

extern "C" {

// Every checked access: the cache of known ranges places it, or the slower
// paths judge it.
void __gpu_check_access(void* address, unsigned long long bytes, int kind, const void* site) {
  using namespace gpu_runtime::cpu;
  WorkerChecks* w = active;
  if (!w) return;
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  const auto* where = static_cast<const Site*>(site);
  const std::uintptr_t shared = a - w->shared_lo;
  if (shared < kSharedCapacity) return check_shared(*w, shared, bytes, kind, where);
  const Known& k = known_slot(*w, a);
  const std::uintptr_t off = a - k.lo, size = k.size & ~kDeviceBit;
  if (off < size && bytes <= size - off && bytes != 0) [[likely]] {
    if (!(k.size & kDeviceBit)) return;
    if (w->memcheck && misaligned(a, kind)) [[unlikely]]
      fail(*w, Failure::kGlobalAlignment, a, bytes, kind, where);
    if (w->footprint) record(*w, a, bytes, kind, where);
    return;
  }
  check_unknown(*w, a, bytes, kind, where);
}

void __gpu_check_thread(unsigned x, unsigned y, unsigned z) {
  using namespace gpu_runtime::cpu;
  if (active) running_thread.thread = uint3{x, y, z};
}

void __gpu_check_region(void) {
  using namespace gpu_runtime::cpu;
  if (WorkerChecks* w = active) ++w->phase;
}
}
