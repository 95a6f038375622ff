#include "common/cta_tracker.h"

#include <algorithm>

namespace gpu_runtime::common {

namespace {

using Wide = __int128;

// A byte range named by one CTA, in absolute addresses (wide, since rule values
// and grid coordinates can name ranges far outside any address space).
struct NamedRange {
  Wide lo, hi;
  std::uint64_t cta;
};

// Distinct bytes covered, and distinct bytes covered by ranges of two or more
// CTAs. Ranges of one CTA are merged first so a CTA never overlaps itself.
void measure_coverage(std::vector<NamedRange>& ranges, TrackerSummary& out) {
  std::sort(ranges.begin(), ranges.end(), [](const NamedRange& a, const NamedRange& b) {
    return a.cta != b.cta ? a.cta < b.cta : a.lo < b.lo;
  });
  struct Event {
    Wide at;
    int delta;
  };
  std::vector<Event> events;
  events.reserve(ranges.size() * 2);
  for (size_t i = 0; i < ranges.size();) {
    const Wide lo = ranges[i].lo;
    Wide hi = ranges[i].hi;
    size_t j = i + 1;
    for (; j < ranges.size() && ranges[j].cta == ranges[i].cta && ranges[j].lo <= hi; ++j)
      hi = std::max(hi, ranges[j].hi);
    events.push_back({lo, +1});
    events.push_back({hi, -1});
    i = j;
  }
  std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return a.at != b.at ? a.at < b.at : a.delta < b.delta;
  });
  int depth = 0;
  Wide covered = 0, overlap = 0;
  for (size_t k = 0; k < events.size(); ++k) {
    if (k > 0) {
      const Wide span = events[k].at - events[k - 1].at;
      if (depth >= 1) covered += span;
      if (depth >= 2) overlap += span;
    }
    depth += events[k].delta;
  }
  out.covered_bytes = static_cast<std::uint64_t>(covered);
  out.overlap_bytes = static_cast<std::uint64_t>(overlap);
}

}  // namespace

TrackerSummary summarize(const std::vector<TrackerRule>& rules, unsigned grid_x, unsigned grid_y,
                         unsigned grid_z, const AllocationFinder& find_allocation) {
  TrackerSummary out;
  out.registrations = rules.size();
  out.ctas = std::uint64_t{grid_x} * grid_y * grid_z;
  if (rules.empty() || out.ctas == 0) return out;
  if (out.ctas > kMaxTrackedRanges / rules.size()) {
    out.complete = false;
    return out;
  }

  std::vector<NamedRange> ranges;
  ranges.reserve(out.ctas * rules.size());
  Wide bytes = 0;
  for (const TrackerRule& rule : rules) {
    const std::optional<Allocation> alloc = rule.base ? find_allocation(rule.base) : std::nullopt;
    const Wide base = static_cast<Wide>(reinterpret_cast<std::uintptr_t>(rule.base));
    std::uint64_t cta = 0;
    for (unsigned z = 0; z < grid_z; ++z)
      for (unsigned y = 0; y < grid_y; ++y)
        for (unsigned x = 0; x < grid_x; ++x, ++cta) {
          const Wide first = Wide{rule.start[0]} * x + Wide{rule.start[1]} * y + Wide{rule.start[2]} * z + rule.start[3];
          const Wide last = Wide{rule.end[0]} * x + Wide{rule.end[1]} * y + Wide{rule.end[2]} * z + rule.end[3];
          if (last <= first || rule.element_size <= 0) {
            ++out.empty;
            continue;
          }
          const NamedRange r{base + first * rule.element_size, base + last * rule.element_size, cta};
          bytes += r.hi - r.lo;
          if (!alloc || r.lo < static_cast<Wide>(alloc->base) ||
              r.hi > static_cast<Wide>(alloc->base) + static_cast<Wide>(alloc->size))
            ++out.out_of_bounds;
          ranges.push_back(r);
        }
  }
  out.bytes = static_cast<std::uint64_t>(bytes);
  measure_coverage(ranges, out);
  return out;
}

std::string summary_json(const TrackerSummary& s) {
  std::string out = "{\"registrations\": " + std::to_string(s.registrations) +
                    ", \"ctas\": " + std::to_string(s.ctas) + ", \"bytes\": " + std::to_string(s.bytes) +
                    ", \"covered_bytes\": " + std::to_string(s.covered_bytes) +
                    ", \"overlap_bytes\": " + std::to_string(s.overlap_bytes) +
                    ", \"out_of_bounds\": " + std::to_string(s.out_of_bounds) +
                    ", \"empty\": " + std::to_string(s.empty);
  if (!s.complete) out += ", \"complete\": false";
  return out + "}";
}

void CtaTracker::add(const TrackerRule& rule) {
  std::lock_guard lock(mu_);
  rules_.push_back(rule);
}

void CtaTracker::flush() {
  std::lock_guard lock(mu_);
  rules_.clear();
}

std::size_t CtaTracker::pending() const {
  std::lock_guard lock(mu_);
  return rules_.size();
}

std::vector<TrackerRule> CtaTracker::rules() const {
  std::lock_guard lock(mu_);
  return rules_;
}

}  // namespace gpu_runtime::common
