// The report page: one self-contained HTML file (styles, charts and a few
// lines of script inline; nothing fetched) with the profile tables, the
// timeline as an SVG chart and one SVG chart per footprint.
//
// Element classes the charts carry, for readers and tests:
//   svg.chart                    every chart; #timeline, #footprint-<n>
//   rect.span.call / .launch / .blocks / .copy
//                                a timeline span (a host call, a launch on the
//                                stream track, a worker's blocks of a launch, a
//                                copy); spans that fall within one pixel of each
//                                other are drawn as one rect with class "merged"
//                                and data-count (launches and copies only when a
//                                run has thousands)
//   rect.fp-range / .fp-outside  a row of CTAs' ranges inside / outside the buffer
//                                (data-row: the row, from 0 at the top)
//   rect.fp-overlap              elements named by two or more CTAs
//   rect.fp-measured / .fp-measured-outside
//                                bytes a row of CTAs touched (a checked build's
//                                "measured" record) within / outside each CTA's
//                                own ranges, over the middle of the row (data-row)
//   rect.fp-measured-overlap     bytes two or more CTAs of one launch touched
// A footprint chart's svg carries data-measured-launches, and where that is
// not 0 data-measured-outside (the runtime's count of elements),
// data-measured-overlap-bytes (as drawn) and data-measured-partial.
// Once the page has loaded, its script records on <body data-rendered> the
// size the browser gave every chart and the rects it holds.
#pragma once

#include <string>

#include "run.h"

namespace gpu_report {

/// The page for `run`, headed with `title`.
std::string render_page(const Run& run, const std::string& title);

}  // namespace gpu_report
