#include "footprint.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace gpu_report {

namespace {

using Wide = __int128;

constexpr std::uint64_t kMaxRows = 240;
// Charts with measurements draw two things per row: fewer, taller rows.
constexpr std::uint64_t kMaxMeasuredRows = 80;
constexpr std::uint64_t kMaxDrawnRanges = std::uint64_t{1} << 24;    // CTAs x registrations
constexpr std::uint64_t kMaxMeasuredRanges = std::uint64_t{1} << 22;  // for overlaps

struct Group {
  unsigned grid[3];
  std::vector<Registration> registrations;
  std::vector<std::size_t> launches;
};

struct NamedRange {
  Wide lo, hi;
  std::uint64_t cta;
};

// Merges pixel intervals that touch or lie within a pixel of each other.
void merge_pixels(std::vector<std::pair<double, double>>& v) {
  std::sort(v.begin(), v.end());
  std::size_t out = 0;
  for (const auto& p : v) {
    if (out > 0 && p.first <= v[out - 1].second + 1.0) v[out - 1].second = std::max(v[out - 1].second, p.second);
    else v[out++] = p;
  }
  v.resize(out);
}

// Distinct bytes named, and the intervals named by ranges of two or more
// CTAs; ranges of one CTA are merged first, so a CTA never overlaps itself.
void measure(std::vector<NamedRange>& ranges, FootprintChart& chart, std::vector<std::pair<Wide, Wide>>& overlaps) {
  std::sort(ranges.begin(), ranges.end(), [](const NamedRange& a, const NamedRange& b) {
    return a.cta != b.cta ? a.cta < b.cta : a.lo < b.lo;
  });
  std::vector<std::pair<Wide, int>> events;
  for (std::size_t i = 0; i < ranges.size();) {
    Wide hi = ranges[i].hi;
    std::size_t j = i + 1;
    for (; j < ranges.size() && ranges[j].cta == ranges[i].cta && ranges[j].lo <= hi; ++j) hi = std::max(hi, ranges[j].hi);
    events.push_back({ranges[i].lo, +1});
    events.push_back({hi, -1});
    i = j;
  }
  std::sort(events.begin(), events.end());
  int depth = 0;
  Wide covered = 0, overlap = 0;
  for (std::size_t k = 0; k < events.size(); ++k) {
    if (k > 0 && events[k].first > events[k - 1].first) {
      const Wide from = events[k - 1].first, to = events[k].first;
      if (depth >= 1) covered += to - from;
      if (depth >= 2) {
        overlap += to - from;
        if (!overlaps.empty() && overlaps.back().second == from) overlaps.back().second = to;
        else overlaps.push_back({from, to});
      }
    }
    depth += events[k].second;
  }
  chart.covered_bytes = static_cast<std::uint64_t>(covered);
  chart.overlap_bytes = static_cast<std::uint64_t>(overlap);
  chart.overlaps_known = true;
}

using WideRange = std::pair<Wide, Wide>;

// The bytes registration `r` names for the CTA at (x, y, z), from the
// allocation's base; false when it names none.
bool named_range(const Registration& r, unsigned x, unsigned y, unsigned z, Wide& lo, Wide& hi) {
  const Wide first = Wide{r.start[0]} * x + Wide{r.start[1]} * y + Wide{r.start[2]} * z + r.start[3];
  const Wide last = Wide{r.end[0]} * x + Wide{r.end[1]} * y + Wide{r.end[2]} * z + r.end[3];
  if (last <= first || r.element_size <= 0) return false;
  lo = Wide{r.offset} + first * r.element_size;
  hi = Wide{r.offset} + last * r.element_size;
  return true;
}

// Sorts and merges ranges that overlap or touch.
void merge_ranges(std::vector<WideRange>& v) {
  std::sort(v.begin(), v.end());
  std::size_t out = 0;
  for (const WideRange& r : v) {
    if (out > 0 && r.first <= v[out - 1].second) v[out - 1].second = std::max(v[out - 1].second, r.second);
    else v[out++] = r;
  }
  v.resize(out);
}

// Ranges sorted by CTA, then start: those of one CTA merged.
void merge_per_cta(std::vector<NamedRange>& v) {
  std::sort(v.begin(), v.end(),
            [](const NamedRange& a, const NamedRange& b) { return a.cta != b.cta ? a.cta < b.cta : a.lo < b.lo; });
  std::size_t out = 0;
  for (const NamedRange& r : v) {
    if (out > 0 && v[out - 1].cta == r.cta && r.lo <= v[out - 1].hi) v[out - 1].hi = std::max(v[out - 1].hi, r.hi);
    else v[out++] = r;
  }
  v.resize(out);
}

// The bytes of one launch touched by two or more CTAs, appended to `out`;
// `ranges` merged per CTA.
void shared_bytes(const std::vector<NamedRange>& ranges, std::vector<WideRange>& out) {
  std::vector<std::pair<Wide, int>> events;
  events.reserve(2 * ranges.size());
  for (const NamedRange& r : ranges) {
    events.push_back({r.lo, +1});
    events.push_back({r.hi, -1});
  }
  std::sort(events.begin(), events.end());
  int depth = 0;
  for (std::size_t k = 0; k < events.size(); ++k) {
    if (k > 0 && depth >= 2 && events[k].first > events[k - 1].first)
      out.push_back({events[k - 1].first, events[k].first});
    depth += events[k].second;
  }
}

// What the launches of a chart measured of its buffer: their counts, and
// why the ranges may fall short of every access.
void measured_summary(const Run& run, FootprintChart& c) {
  std::size_t unlisted = 0, cut = 0, not_kept = 0;
  for (std::size_t i : c.launches) {
    const Launch& l = run.launches[i];
    if (!l.measured) continue;
    ++c.measured_launches;
    if (!l.measured->complete) ++unlisted;
    const MeasuredBuffer* b = l.measured->buffer(c.alloc);
    if (!b) continue;
    c.measured.inside += b->counts.inside;
    c.measured.outside += b->counts.outside;
    c.measured.unaccessed += b->counts.unaccessed;
    c.measured.ctas_outside += b->counts.ctas_outside;
    c.measured.shared_read_bytes += b->counts.shared_read_bytes;
    c.measured.write_conflict_bytes += b->counts.write_conflict_bytes;
    c.touched_bytes += b->touched_bytes;
    c.written_bytes += b->written_bytes;
    if (!b->ranges_complete) ++cut;
    if (!b->ranges_kept) ++not_kept;
  }
  if (c.measured_launches == 0) return;
  auto of = [&](std::size_t n) {
    return n == c.measured_launches && n == 1 ? std::string("the launch")
                                               : std::to_string(n) + " of " + std::to_string(c.measured_launches) +
                                                     " measured launches";
  };
  if (c.measured_launches < c.launches.size())
    c.measured_gaps.push_back("only " + std::to_string(c.measured_launches) + " of the " +
                              std::to_string(c.launches.size()) + " launches were measured");
  if (unlisted > 0)
    c.measured_gaps.push_back("the runtime did not resolve the registrations of " + of(unlisted) +
                              " CTA by CTA (too many), so it listed none of their ranges");
  if (cut > 0) c.measured_gaps.push_back("the runtime listed only the first ranges of " + of(cut));
  if (not_kept > 0)
    c.measured_gaps.push_back("the ranges of " + of(not_kept) + " were not kept (more in the run than the " +
                              std::to_string(kMaxKeptMeasuredRanges) + " the page keeps)");
}

// The measured bars: each launch's ranges on its CTA's row, split by the
// CTA's own declared ranges, and the bytes two or more CTAs of a launch
// touched.
template <typename Px>
void measured_bars(const Run& run, const std::vector<Registration>& regs, const unsigned grid[3], double width,
                   const Px& px, FootprintChart& c) {
  std::vector<NamedRange> all;
  std::vector<WideRange> shared;
  std::size_t strays = 0;
  for (std::size_t i : c.launches) {
    const Launch& l = run.launches[i];
    const MeasuredBuffer* b = l.measured ? l.measured->buffer(c.alloc) : nullptr;
    if (!b) continue;
    std::vector<NamedRange> launch;
    launch.reserve(b->ranges.size());
    for (const MeasuredBuffer::Range& r : b->ranges) {
      if (r.cta >= c.ctas) ++strays;
      else launch.push_back({r.first, r.end, r.cta});
    }
    merge_per_cta(launch);
    shared_bytes(launch, shared);
    all.insert(all.end(), launch.begin(), launch.end());
  }
  if (strays > 0)
    c.measured_gaps.push_back(std::to_string(strays) + (strays == 1 ? " range names a CTA" : " ranges name CTAs") +
                              " past the grid: not drawn");
  merge_ranges(shared);
  for (const auto& [a, b] : shared) {
    c.measured_overlap_bytes += static_cast<std::uint64_t>(b - a);
    c.measured_overlaps.push_back({px(a), std::max(px(b), px(a) + 1.0)});
  }
  merge_pixels(c.measured_overlaps);

  merge_per_cta(all);
  std::vector<std::pair<double, double>> inside, outside;
  std::uint64_t row = 0;
  auto flush_row = [&] {
    for (int part = 0; part < 2; ++part) {
      auto& v = part ? outside : inside;
      for (auto& p : v) p.second = std::max(p.second, p.first + 1.0);
      merge_pixels(v);
      for (const auto& p : v) c.measured_bars.push_back({row, p.first, std::min(p.second, width), part == 1});
      v.clear();
    }
  };
  std::vector<WideRange> declared;
  for (std::size_t k = 0; k < all.size();) {
    const std::uint64_t cta = all[k].cta;
    if (cta / c.ctas_per_row != row) {
      flush_row();
      row = cta / c.ctas_per_row;
    }
    const unsigned x = static_cast<unsigned>(cta % grid[0]), y = static_cast<unsigned>(cta / grid[0] % grid[1]),
                   z = static_cast<unsigned>(cta / (std::uint64_t{grid[0]} * grid[1]));
    declared.clear();
    for (const Registration& r : regs) {
      Wide lo, hi;
      if (named_range(r, x, y, z, lo, hi)) declared.push_back({lo, hi});
    }
    merge_ranges(declared);
    // Each touched range against the CTA's declared ones, both sorted.
    std::size_t d = 0;
    for (; k < all.size() && all[k].cta == cta; ++k) {
      Wide at = all[k].lo;
      const Wide end = all[k].hi;
      while (d < declared.size() && declared[d].second <= at) ++d;
      for (std::size_t e = d; e < declared.size() && declared[e].first < end; ++e) {
        const Wide lo = std::max(at, declared[e].first), hi = std::min(end, declared[e].second);
        if (lo > at) outside.push_back({px(at), px(lo)});
        inside.push_back({px(lo), px(hi)});
        at = hi;
      }
      if (at < end) outside.push_back({px(at), px(end)});
    }
  }
  flush_row();
}

FootprintChart chart_for(const Run& run, const Group& g, std::uint64_t alloc, const std::vector<Registration>& regs,
                         double width) {
  FootprintChart c;
  c.launches = g.launches;
  c.alloc = alloc;
  c.alloc_bytes = run.allocation_bytes.at(alloc);
  c.registrations = regs.size();
  c.ctas = std::uint64_t{g.grid[0]} * g.grid[1] * g.grid[2];
  c.unit = regs.front().element_size > 0 ? regs.front().element_size : 1;
  for (const Registration& r : regs)
    if (r.element_size != c.unit) c.unit = 1;
  measured_summary(run, c);
  if (c.ctas == 0) {
    c.not_drawn = "the grid has no CTAs";
    return c;
  }
  if (c.ctas > kMaxDrawnRanges / regs.size()) {
    c.not_drawn = "too many ranges to draw (" + std::to_string(c.ctas) + " CTAs x " + std::to_string(regs.size()) +
                  " registrations)";
    return c;
  }
  const std::uint64_t rows = std::min(c.ctas, c.measured_launches > 0 ? kMaxMeasuredRows : kMaxRows);
  c.ctas_per_row = (c.ctas + rows - 1) / rows;
  c.rows = (c.ctas + c.ctas_per_row - 1) / c.ctas_per_row;

  // Every range, once to find the domain and once to draw it.
  auto each_range = [&](auto&& visit) {
    std::uint64_t cta = 0;
    for (unsigned z = 0; z < g.grid[2]; ++z)
      for (unsigned y = 0; y < g.grid[1]; ++y)
        for (unsigned x = 0; x < g.grid[0]; ++x, ++cta)
          for (const Registration& r : regs) {
            Wide a, b;
            if (named_range(r, x, y, z, a, b)) visit(cta, a, b);
            else ++c.empty_ranges;
          }
  };
  const Wide size = static_cast<Wide>(c.alloc_bytes);
  Wide lo = 0, hi = size;
  Wide named = 0;
  std::uint64_t ranges = 0;
  each_range([&](std::uint64_t, Wide a, Wide b) {
    lo = std::min(lo, a);
    hi = std::max(hi, b);
    named += b - a;
    ++ranges;
    if (a < 0 || b > size) ++c.outside_ranges;
  });
  c.empty_ranges = 0;  // counted again below
  c.named_bytes = static_cast<std::uint64_t>(named);
  // Ranges far outside the buffer would squeeze it to nothing: show at most
  // one buffer's length on either side, and clip what lies beyond.
  const Wide reach = std::max<Wide>(size, 1);
  lo = std::max(lo, -reach);
  hi = std::min(hi, size + reach);
  if (hi <= lo) hi = lo + 1;
  c.domain_lo = static_cast<double>(lo);
  c.domain_hi = static_cast<double>(hi);
  const double scale = width / (c.domain_hi - c.domain_lo);
  auto px = [&](Wide v) { return std::clamp((static_cast<double>(v) - c.domain_lo) * scale, 0.0, width); };

  // Bars, row by row; ranges for the overlaps where they are few enough.
  const bool measure_all = ranges <= kMaxMeasuredRanges;
  std::vector<NamedRange> all;
  if (measure_all) all.reserve(ranges);
  std::vector<std::pair<double, double>> inside, outside;
  std::uint64_t row = 0;
  auto flush_row = [&] {
    for (int part = 0; part < 2; ++part) {
      auto& v = part ? outside : inside;
      for (auto& p : v) p.second = std::max(p.second, p.first + 1.0);  // at least a pixel wide
      merge_pixels(v);
      for (const auto& p : v) c.bars.push_back({row, p.first, std::min(p.second, width), part == 1});
      v.clear();
    }
  };
  each_range([&](std::uint64_t cta, Wide a, Wide b) {
    if (cta / c.ctas_per_row != row) {
      flush_row();
      row = cta / c.ctas_per_row;
    }
    if (measure_all) all.push_back({a, b, cta});
    if (a < 0) outside.push_back({px(a), px(std::min<Wide>(b, 0))});
    if (b > size) outside.push_back({px(std::max(a, size)), px(b)});
    if (b > 0 && a < size) inside.push_back({px(std::max<Wide>(a, 0)), px(std::min(b, size))});
  });
  flush_row();
  if (measure_all) {
    std::vector<std::pair<Wide, Wide>> overlap_bytes;
    measure(all, c, overlap_bytes);
    for (const auto& [a, b] : overlap_bytes) c.overlaps.push_back({px(a), std::max(px(b), px(a) + 1.0)});
    merge_pixels(c.overlaps);
  }
  if (c.measured_launches > 0) measured_bars(run, regs, g.grid, width, px, c);
  c.drawn = true;
  return c;
}

}  // namespace

Footprints footprints(const Run& run, double width, std::size_t max_charts) {
  Footprints out;
  std::vector<Group> groups;
  for (std::size_t i = 0; i < run.launches.size(); ++i) {
    const Launch& l = run.launches[i];
    if (l.registrations.empty()) continue;
    auto same = [&](const Group& g) {
      return std::equal(g.grid, g.grid + 3, l.grid) && g.registrations == l.registrations;
    };
    auto it = std::find_if(groups.begin(), groups.end(), same);
    if (it == groups.end()) {
      groups.push_back(Group{{l.grid[0], l.grid[1], l.grid[2]}, l.registrations, {}});
      it = groups.end() - 1;
    }
    it->launches.push_back(i);
  }
  std::size_t unplaced = 0;
  for (const Group& g : groups) {
    std::map<std::uint64_t, std::vector<Registration>> by_buffer;
    for (const Registration& r : g.registrations) {
      if (r.in_allocation && run.allocation_bytes.count(r.alloc)) by_buffer[r.alloc].push_back(r);
      else ++unplaced;
    }
    for (const auto& [alloc, regs] : by_buffer) {
      if (out.charts.size() == max_charts) {
        out.notes.push_back("more footprints than the " + std::to_string(max_charts) + " charts shown");
        return out;
      }
      out.charts.push_back(chart_for(run, g, alloc, regs, width));
    }
  }
  if (unplaced > 0)
    out.notes.push_back(std::to_string(unplaced) + (unplaced == 1 ? " registration names" : " registrations name") +
                        " no known allocation (a null or unknown base): not drawn");
  return out;
}

}  // namespace gpu_report
