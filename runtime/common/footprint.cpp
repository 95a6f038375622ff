#include "common/footprint.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>

namespace gpu_runtime::common {

namespace {

using Wide = __int128;

// The registrations of one allocation, and its element grid: elements of
// `element` bytes counted from `anchor` (the first registration's base).
struct Declared {
  std::vector<const TrackerRule*> rules;
  std::int64_t element = 0;
  Wide anchor = 0;
};

struct WideRange {
  Wide lo, hi;
};

// Sorts and merges ranges that overlap or touch.
void merge(std::vector<WideRange>& v) {
  std::sort(v.begin(), v.end(), [](const WideRange& a, const WideRange& b) { return a.lo < b.lo; });
  std::size_t out = 0;
  for (const WideRange& r : v) {
    if (out > 0 && r.lo <= v[out - 1].hi) v[out - 1].hi = std::max(v[out - 1].hi, r.hi);
    else v[out++] = r;
  }
  v.resize(out);
}

Wide total(const std::vector<WideRange>& v) {
  Wide sum = 0;
  for (const WideRange& r : v) sum += r.hi - r.lo;
  return sum;
}

// Bytes of `a` that also lie in `b` (both merged), and the first byte of `a`
// outside `b`, if any.
Wide common_bytes(const std::vector<WideRange>& a, const std::vector<WideRange>& b, std::optional<Wide>& first_outside) {
  Wide both = 0;
  std::size_t j = 0;
  for (const WideRange& r : a) {
    Wide at = r.lo;
    while (j < b.size() && b[j].hi <= r.lo) ++j;
    for (std::size_t k = j; k < b.size() && b[k].lo < r.hi; ++k) {
      const Wide lo = std::max(r.lo, b[k].lo), hi = std::min(r.hi, b[k].hi);
      if (lo > at && !first_outside) first_outside = at;
      both += hi - lo;
      at = hi;
    }
    if (at < r.hi && !first_outside) first_outside = at;
  }
  return both;
}

Wide floor_to(Wide value, Wide anchor, Wide step) {
  Wide d = value - anchor;
  Wide q = d / step;
  if (d % step != 0 && d < 0) --q;
  return anchor + q * step;
}

Wide ceil_to(Wide value, Wide anchor, Wide step) {
  const Wide down = floor_to(value, anchor, step);
  return down == value ? value : down + step;
}

std::string number(std::uint64_t v) { return std::to_string(v); }

std::string readable(const std::string& mangled) {
  int status = 0;
  char* text = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
  std::string out = status == 0 && text ? text : mangled;
  std::free(text);
  return out;
}

}  // namespace

MeasuredFootprint measure_footprint(const std::vector<CtaAccesses>& ctas, const std::vector<TrackerRule>& rules,
                                    unsigned grid_x, unsigned grid_y, unsigned grid_z,
                                    const AllocationFinder& find_allocation) {
  MeasuredFootprint out;
  out.ctas = ctas.size();
  std::map<std::uint64_t, BufferFootprint> buffers;  // by allocation index
  std::map<std::uint64_t, Declared> declared;

  for (const TrackerRule& rule : rules) {
    if (!rule.base) continue;
    const std::optional<Allocation> a = find_allocation(rule.base);
    if (!a) continue;
    BufferFootprint& b = buffers[a->index];
    b.allocation = *a;
    ++b.registrations;
    Declared& d = declared[a->index];
    if (d.rules.empty()) d.anchor = static_cast<Wide>(reinterpret_cast<std::uintptr_t>(rule.base));
    d.rules.push_back(&rule);
    if (rule.element_size > 0 && (d.element == 0 || rule.element_size < d.element)) d.element = rule.element_size;
  }
  for (auto& [index, d] : declared) buffers[index].element_size = d.element;

  // Every CTA's ranges, by allocation: one lookup per run of ranges in the
  // same allocation.
  struct Event {
    Wide at;
    int touch, write;
  };
  std::map<std::uint64_t, std::vector<Event>> events;
  const bool resolve = rules.empty() || ctas.size() <= kMaxTrackedRanges / rules.size();
  std::vector<unsigned char> cta_outside(ctas.size(), 0);
  std::optional<Allocation> current;
  auto allocation_of = [&](std::uintptr_t lo) -> const std::optional<Allocation>& {
    if (!current || lo < current->base || lo - current->base >= std::max<std::size_t>(current->size, 1))
      current = find_allocation(reinterpret_cast<const void*>(lo));
    return current;
  };
  std::map<std::uint64_t, std::vector<WideRange>> touched_by_buffer;
  for (std::uint64_t cta = 0; cta < ctas.size(); ++cta) {
    touched_by_buffer.clear();
    for (int kind = 0; kind < 2; ++kind) {
      const ByteRanges& list = kind == 0 ? ctas[cta].touched : ctas[cta].written;
      for (const auto& [lo, hi] : list) {
        const std::optional<Allocation>& a = allocation_of(lo);
        if (!a) continue;
        BufferFootprint& b = buffers[a->index];
        b.allocation = *a;
        std::vector<Event>& e = events[a->index];
        e.push_back({static_cast<Wide>(lo), kind == 0 ? 1 : 0, kind == 1 ? 1 : 0});
        e.push_back({static_cast<Wide>(hi), kind == 0 ? -1 : 0, kind == 1 ? -1 : 0});
        if (kind == 0) touched_by_buffer[a->index].push_back({static_cast<Wide>(lo), static_cast<Wide>(hi)});
      }
    }
    if (!resolve) continue;

    // Against what the CTA declared, buffer by buffer.
    const unsigned x = static_cast<unsigned>(cta % grid_x);
    const unsigned y = static_cast<unsigned>(cta / grid_x % grid_y);
    const unsigned z = static_cast<unsigned>(cta / (std::uint64_t{grid_x} * grid_y));
    (void)grid_z;
    for (auto& [index, d] : declared) {
      if (d.element <= 0) continue;
      BufferFootprint& b = buffers[index];
      std::vector<WideRange> named;
      for (const TrackerRule* r : d.rules) {
        if (r->element_size <= 0) continue;
        const Wide first = Wide{r->start[0]} * x + Wide{r->start[1]} * y + Wide{r->start[2]} * z + r->start[3];
        const Wide last = Wide{r->end[0]} * x + Wide{r->end[1]} * y + Wide{r->end[2]} * z + r->end[3];
        if (last <= first) continue;
        const Wide base = static_cast<Wide>(reinterpret_cast<std::uintptr_t>(r->base));
        named.push_back({floor_to(base + first * r->element_size, d.anchor, d.element),
                         ceil_to(base + last * r->element_size, d.anchor, d.element)});
      }
      merge(named);
      std::vector<WideRange> accessed;
      if (auto it = touched_by_buffer.find(index); it != touched_by_buffer.end())
        for (const WideRange& r : it->second)
          accessed.push_back({floor_to(r.lo, d.anchor, d.element), ceil_to(r.hi, d.anchor, d.element)});
      merge(accessed);
      std::optional<Wide> first_outside;
      const Wide both = common_bytes(accessed, named, first_outside);
      const Wide outside = total(accessed) - both;
      b.inside += static_cast<std::uint64_t>(both / d.element);
      b.outside += static_cast<std::uint64_t>(outside / d.element);
      b.unaccessed += static_cast<std::uint64_t>((total(named) - both) / d.element);
      if (outside > 0) {
        if (b.ctas_outside++ == 0) {
          b.first_outside_cta = cta;
          b.first_outside_offset = static_cast<std::int64_t>(*first_outside - static_cast<Wide>(b.allocation.base));
        }
        cta_outside[cta] = 1;
      }
      for (const WideRange& r : touched_by_buffer[index]) {
        if (b.ranges.size() >= kMaxListedRanges) {
          b.ranges_complete = false;
          break;
        }
        const Wide base = static_cast<Wide>(b.allocation.base);
        b.ranges.push_back({cta, static_cast<std::int64_t>(r.lo - base), static_cast<std::int64_t>(r.hi - base)});
      }
    }
  }
  out.complete = resolve;

  // Bytes by how many CTAs touched and wrote them.
  for (auto& [index, list] : events) {
    BufferFootprint& b = buffers[index];
    std::sort(list.begin(), list.end(), [](const Event& p, const Event& q) { return p.at < q.at; });
    int touching = 0, writing = 0;
    for (std::size_t k = 0; k < list.size(); ++k) {
      if (k > 0 && list[k].at > list[k - 1].at) {
        const auto span = static_cast<std::uint64_t>(list[k].at - list[k - 1].at);
        if (touching >= 1) b.touched_bytes += span;
        if (writing >= 1) b.written_bytes += span;
        if (touching >= 2 && writing >= 1) b.write_conflict_bytes += span;
        else if (touching >= 2) b.shared_read_bytes += span;
      }
      touching += list[k].touch;
      writing += list[k].write;
    }
  }

  for (auto& [index, b] : buffers) {
    out.inside += b.inside;
    out.outside += b.outside;
    out.unaccessed += b.unaccessed;
    out.shared_read_bytes += b.shared_read_bytes;
    out.write_conflict_bytes += b.write_conflict_bytes;
    out.buffers.push_back(std::move(b));
  }
  out.ctas_outside = static_cast<std::uint64_t>(std::count(cta_outside.begin(), cta_outside.end(), 1));
  return out;
}

std::string measured_json(const MeasuredFootprint& m) {
  std::string out = "{\"inside\": " + number(m.inside) + ", \"outside\": " + number(m.outside) +
                    ", \"unaccessed\": " + number(m.unaccessed) + ", \"ctas_outside\": " + number(m.ctas_outside) +
                    ", \"shared_read_bytes\": " + number(m.shared_read_bytes) +
                    ", \"write_conflict_bytes\": " + number(m.write_conflict_bytes);
  if (!m.complete) out += ", \"complete\": false";
  out += ", \"buffers\": [";
  for (std::size_t i = 0; i < m.buffers.size(); ++i) {
    const BufferFootprint& b = m.buffers[i];
    out += (i ? ", " : "") + std::string("{\"alloc\": ") + number(b.allocation.index) +
           ", \"registrations\": " + number(b.registrations) + ", \"element_size\": " + std::to_string(b.element_size) +
           ", \"touched_bytes\": " + number(b.touched_bytes) + ", \"written_bytes\": " + number(b.written_bytes) +
           ", \"inside\": " + number(b.inside) + ", \"outside\": " + number(b.outside) +
           ", \"unaccessed\": " + number(b.unaccessed) + ", \"ctas_outside\": " + number(b.ctas_outside) +
           ", \"shared_read_bytes\": " + number(b.shared_read_bytes) +
           ", \"write_conflict_bytes\": " + number(b.write_conflict_bytes);
    if (b.registrations > 0) {
      out += ", \"ranges\": [";
      for (std::size_t k = 0; k < b.ranges.size(); ++k) {
        const BufferFootprint::CtaRange& r = b.ranges[k];
        out += (k ? ", [" : "[") + number(r.cta) + ", " + std::to_string(r.first) + ", " + std::to_string(r.last) + "]";
      }
      out += "]";
      if (!b.ranges_complete) out += ", \"ranges_complete\": false";
    }
    out += "}";
  }
  return out + "]}";
}

std::string outside_ranges_line(const std::string& kernel, const MeasuredFootprint& m, unsigned grid_x,
                                unsigned grid_y) {
  if (m.outside == 0) return "";
  const BufferFootprint* first = nullptr;
  for (const BufferFootprint& b : m.buffers)
    if (b.outside > 0 && (!first || b.first_outside_cta < first->first_outside_cta)) first = &b;
  const std::uint64_t cta = first->first_outside_cta;
  const std::uint64_t x = cta % grid_x, y = cta / grid_x % grid_y, z = cta / (std::uint64_t{grid_x} * grid_y);
  const std::int64_t off = first->first_outside_offset;
  return "gpu runtime: kernel " + readable(kernel) + ": " + number(m.outside) +
         " elements accessed outside the ranges registered with the CTA tracker, by " + number(m.ctas_outside) +
         " of " + number(m.ctas) + " CTAs (first: CTA (" + number(x) + ", " + number(y) + ", " + number(z) +
         ") at allocation " + number(first->allocation.index) + (off < 0 ? " - " : " + ") +
         number(static_cast<std::uint64_t>(off < 0 ? -off : off)) + ")\n";
}

}  // namespace gpu_runtime::common
