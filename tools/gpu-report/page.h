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
//   rect.fp-overlap              elements named by two or more CTAs
// Once the page has loaded, its script records on <body data-rendered> the
// size the browser gave every chart and the rects it holds.
#pragma once

#include <string>

#include "run.h"

namespace gpu_report {

/// The page for `run`, headed with `title`.
std::string render_page(const Run& run, const std::string& title);

}  // namespace gpu_report
