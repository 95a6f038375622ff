// Footprint charts: for launches made while tracker registrations stood,
// which elements of each buffer every CTA names. The registrations are
// resolved again from the trace, CTA by CTA, exactly as the runtime resolves
// them (linear CTA index x fastest; elements start·(x, y, z, 1) up to
// end·(x, y, z, 1)); one chart per buffer per distinct set of registrations
// and grid. Where a checked build measured the launches (CUDART_FOOTPRINT=1),
// the bytes each CTA touched are drawn on the same rows: within the CTA's own
// ranges or outside them, with the bytes two or more CTAs of one launch
// touched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run.h"

namespace gpu_report {

struct FootprintChart {
  std::vector<std::size_t> launches;  ///< the launches (indices into Run::launches) it shows
  std::uint64_t alloc = 0, alloc_bytes = 0;
  std::int64_t unit = 1;  ///< bytes per element on the x axis (1 when the registrations disagree)
  std::size_t registrations = 0;  ///< on this buffer
  std::uint64_t ctas = 0, ctas_per_row = 1, rows = 0;
  double domain_lo = 0, domain_hi = 1;  ///< bytes from the allocation's base shown across the width

  bool drawn = false;
  std::string not_drawn;  ///< why not, when not drawn

  /// Pixel intervals, x in [0, width).
  struct Bar {
    std::uint64_t row = 0;
    double x0 = 0, x1 = 0;
    bool outside = false;  ///< the part of a range outside the allocation
  };
  std::vector<Bar> bars;
  bool overlaps_known = false;
  std::vector<std::pair<double, double>> overlaps;  ///< elements named by two or more CTAs
  std::uint64_t named_bytes = 0, covered_bytes = 0, overlap_bytes = 0, outside_ranges = 0, empty_ranges = 0;

  // What was measured, over the launches shown that carry a measurement.
  std::size_t measured_launches = 0;
  MeasuredCounts measured;  ///< the runtime's counts for this buffer, summed over those launches
  std::uint64_t touched_bytes = 0, written_bytes = 0;
  /// Why the measured bars may miss accesses; empty when they show them all.
  std::vector<std::string> measured_gaps;
  /// Bytes touched, row by row; `outside`: outside the CTA's own ranges.
  std::vector<Bar> measured_bars;
  /// Bytes touched by two or more CTAs of one launch, over all launches shown.
  std::vector<std::pair<double, double>> measured_overlaps;
  std::uint64_t measured_overlap_bytes = 0;
};

struct Footprints {
  std::vector<FootprintChart> charts;
  /// Registrations that could not be drawn (no allocation), and charts left out.
  std::vector<std::string> notes;
};

/// The charts of a run, `width` pixels wide, at most `max_charts` of them.
Footprints footprints(const Run& run, double width, std::size_t max_charts = 40);

}  // namespace gpu_report
