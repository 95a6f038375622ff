#include "common/profile.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace gpu_runtime::common {

namespace {

// Copy directions in the order the profile lists them.
int direction_order(CopySides sides) {
  if (!sides.src_device && sides.dst_device) return 0;
  if (sides.src_device && !sides.dst_device) return 1;
  if (sides.src_device && sides.dst_device) return 2;
  return 3;
}

CopySides direction_sides(int order) {
  switch (order) {
    case 0: return {true, false};
    case 1: return {false, true};
    case 2: return {true, true};
    default: return {false, false};
  }
}

std::string printf_string(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

std::string percent(std::int64_t part, std::int64_t whole) {
  return whole > 0 ? printf_string("%.2f%%", 100.0 * static_cast<double>(part) / static_cast<double>(whole)) : "-";
}

// Bytes in binary units: "512 bytes", "4.00 KiB", "64.00 MiB", "1.50 GiB".
std::string binary_size(std::int64_t bytes) {
  const double b = static_cast<double>(bytes);
  if (bytes < 1024) return printf_string("%lld bytes", static_cast<long long>(bytes));
  if (bytes < 1024 * 1024) return printf_string("%.2f KiB", b / 1024);
  if (bytes < 1024LL * 1024 * 1024) return printf_string("%.2f MiB", b / (1024 * 1024));
  return printf_string("%.2f GiB", b / (1024.0 * 1024 * 1024));
}

std::string dims(unsigned x, unsigned y, unsigned z) { return printf_string("%ux%ux%u", x, y, z); }

// The key whose count is largest; the first such key on a tie.
template <typename Key>
const Key& most_frequent(const std::map<Key, std::uint64_t>& counts) {
  auto best = counts.begin();
  for (auto it = counts.begin(); it != counts.end(); ++it)
    if (it->second > best->second) best = it;
  return best->first;
}

}  // namespace

std::string format_bandwidth(std::uint64_t bytes, std::int64_t ns) {
  if (ns <= 0) return "-";
  const double gb = static_cast<double>(bytes) / static_cast<double>(ns);  // bytes per ns: GB/s
  if (gb >= 1) return printf_string("%.3fGB/s", gb);
  if (gb >= 1e-3) return printf_string("%.3fMB/s", gb * 1e3);
  return printf_string("%.3fKB/s", gb * 1e6);
}

std::string format_duration(std::int64_t ns) {
  const double v = static_cast<double>(ns);
  if (ns < 1000) return printf_string("%lldns", static_cast<long long>(ns));
  if (ns < 1000000) return printf_string("%.3fus", v / 1e3);
  if (ns < 1000000000) return printf_string("%.3fms", v / 1e6);
  return printf_string("%.3fs", v / 1e9);
}

void Profile::Timing::add(std::int64_t ns, bool known) {
  ++count;
  if (!known) return;
  min = timed == 0 ? ns : std::min(min, ns);
  max = timed == 0 ? ns : std::max(max, ns);
  total += ns;
  ++timed;
}

void Profile::add_call(const char* call, std::int64_t ns) {
  for (auto& [name, timing] : calls_)
    if (name == call) return timing.add(ns, true);
  calls_.emplace_back(call, Timing{});
  calls_.back().second.add(ns, true);
}

void Profile::add_launch(const activity::LaunchRun& run) {
  Kernel& k = kernels_[run.kernel];
  k.timing.add(run.end - run.start, run.timed);
  ++k.configs[Config{run.grid.x, run.grid.y, run.grid.z, run.block.x, run.block.y, run.block.z}];
  ++k.forms[run.form ? run.form : "-"];
}

void Profile::add_copy(CopySides sides, std::uint64_t bytes, std::int64_t ns) {
  Copies& c = copies_[direction_order(sides)];
  c.timing.add(ns, true);
  c.bytes += bytes;
}

void Profile::add_memory(std::int64_t bytes) {
  memory_ += bytes;
  peak_memory_ = std::max(peak_memory_, memory_);
}

std::string Profile::text(const std::string& device, std::int64_t run_ns) const {
  std::int64_t kernel_ns = 0, copy_ns = 0;
  for (const auto& [name, k] : kernels_) kernel_ns += k.timing.total;
  for (const auto& [order, c] : copies_) copy_ns += c.timing.total;
  const std::int64_t busy = kernel_ns + copy_ns;

  std::string out = "==gpu runtime profile== " + device + "; " + format_duration(run_ns) + " from start to exit\n";
  out += "Device busy " + format_duration(busy) + ": kernels " + format_duration(kernel_ns) + ", copies " +
         format_duration(copy_ns) + "\n";

  out += "\nKernels\n";
  if (kernels_.empty()) {
    out += "  none\n";
  } else {
    out += printf_string(" %7s %12s %9s %12s %12s %12s  %-14s %-12s %-13s %s\n", "Time(%)", "Total", "Launches",
                         "Avg", "Min", "Max", "Grid", "Block", "Form", "Kernel");
    std::vector<const std::pair<const std::string, Kernel>*> order;
    for (const auto& entry : kernels_) order.push_back(&entry);
    std::stable_sort(order.begin(), order.end(),
                     [](auto* a, auto* b) { return a->second.timing.total > b->second.timing.total; });
    for (const auto* entry : order) {
      const Kernel& k = entry->second;
      const Timing& t = k.timing;
      const Config& c = most_frequent(k.configs);
      const bool timed = t.timed > 0;
      out += printf_string(
          " %7s %12s %9llu %12s %12s %12s  %-14s %-12s %-13s ", percent(t.total, busy).c_str(),
          timed ? format_duration(t.total).c_str() : "-", static_cast<unsigned long long>(t.count),
          timed ? format_duration(t.total / static_cast<std::int64_t>(t.timed)).c_str() : "-",
          timed ? format_duration(t.min).c_str() : "-", timed ? format_duration(t.max).c_str() : "-",
          dims(std::get<0>(c), std::get<1>(c), std::get<2>(c)).c_str(),
          dims(std::get<3>(c), std::get<4>(c), std::get<5>(c)).c_str(), most_frequent(k.forms).c_str());
      out += activity::readable_name(entry->first) + "\n";
    }
  }

  out += "\nCopies\n";
  if (copies_.empty()) {
    out += "  none\n";
  } else {
    out += printf_string(" %7s %12s %9s %14s %12s  %s\n", "Time(%)", "Total", "Count", "Bytes", "Bandwidth",
                         "Direction");
    for (const auto& [order, c] : copies_) {
      const std::string bandwidth = format_bandwidth(c.bytes, c.timing.total);
      out += printf_string(" %7s %12s %9llu %14llu %12s  %s\n", percent(c.timing.total, busy).c_str(),
                           format_duration(c.timing.total).c_str(), static_cast<unsigned long long>(c.timing.count),
                           static_cast<unsigned long long>(c.bytes), bandwidth.c_str(),
                           activity::direction_name(direction_sides(order)));
    }
  }

  out += "\nDevice memory\n";
  out += printf_string("  peak %lld bytes", static_cast<long long>(peak_memory_));
  if (peak_memory_ >= 1024) out += " (" + binary_size(peak_memory_) + ")";
  out += " allocated at once\n";

  out += "\nAPI calls\n";
  std::map<std::string, Timing> calls;
  for (const auto& [name, t] : calls_) {
    Timing& merged = calls[name];
    if (merged.timed == 0) merged = t;
    else merged.count += t.count, merged.timed += t.timed, merged.total += t.total;
  }
  if (calls.empty()) {
    out += "  none\n";
  } else {
    std::int64_t call_ns = 0;
    for (const auto& [name, t] : calls) call_ns += t.total;
    out += printf_string(" %7s %12s %9s %12s  %s\n", "Time(%)", "Total", "Calls", "Avg", "Call");
    std::vector<const std::pair<const std::string, Timing>*> order;
    for (const auto& entry : calls) order.push_back(&entry);
    std::stable_sort(order.begin(), order.end(), [](auto* a, auto* b) { return a->second.total > b->second.total; });
    for (const auto* entry : order) {
      const Timing& t = entry->second;
      out += printf_string(" %7s %12s %9llu %12s  ", percent(t.total, call_ns).c_str(),
                           format_duration(t.total).c_str(), static_cast<unsigned long long>(t.count),
                           format_duration(t.total / static_cast<std::int64_t>(t.count)).c_str());
      out += entry->first + "\n";
    }
  }
  return out;
}

}  // namespace gpu_runtime::common
