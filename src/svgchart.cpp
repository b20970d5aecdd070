#include "svgchart.h"

#include <algorithm>

namespace {

constexpr int kLeft = 56, kRight = 16, kTop = 16, kBottom = 44;

// A step of 1, 2 or 5 times a power of ten that cuts `span` into at most
// eight intervals.
long niceStep(long span) {
  long step = 1;
  for (;;) {
    for (const long m : {1L, 2L, 5L}) {
      if (span / (step * m) <= 8) return step * m;
    }
    if (step > 100000000000000L) return step * 10;
    step *= 10;
  }
}

// The largest multiple of `step` at most `v` (and the smallest at least).
long floorTo(long v, long step) { return v >= 0 ? v / step * step : -((-v + step - 1) / step * step); }
long ceilTo(long v, long step) { return -floorTo(-v, step); }

}  // namespace

void svgChart(tPage& page, const tChart& chart) {
  const int w = std::max(chart.width, kLeft + kRight + 10);
  const int h = std::max(chart.height, kTop + kBottom + 10);
  const int plotW = w - kLeft - kRight, plotH = h - kTop - kBottom;
  const size_t n = chart.rows.size();

  long lo = 0, hi = 0;
  for (const auto& row : chart.rows)
    for (const long v : row) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  const long step = niceStep(hi - lo > 0 ? hi - lo : 1);
  lo = floorTo(lo, step);
  hi = std::max(ceilTo(hi, step), lo + step);
  const double range = static_cast<double>(hi - lo);
  auto yOf = [&](long v) {
    return kTop + plotH - static_cast<long>((static_cast<double>(v - lo) * plotH) / range + 0.5);
  };
  auto xOf = [&](size_t i) {
    return n < 2 ? kLeft + plotW / 2
                 : kLeft + static_cast<long>(static_cast<double>(i) * plotW / (n - 1) + 0.5);
  };

  page.markup("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"velko-chart\" width=\"");
  page.num(w).markup("\" height=\"").num(h).markup("\" viewBox=\"0 0 ").num(w).markup(" ");
  page.num(h).markup("\" role=\"img\" aria-label=\"").attr(chart.title).markup("\">\n");
  page.markup("<title>").text(chart.title).markup("</title>\n");
  page.markup("<rect x=\"0\" y=\"0\" width=\"").num(w).markup("\" height=\"").num(h);
  page.markup("\" fill=\"#FFFFFF\"/>\n");

  // Counts: a grid line and its value at every step.
  page.markup("<g font-family=\"sans-serif\" font-size=\"11\" fill=\"#000000\">\n");
  for (long v = lo; v <= hi; v += step) {
    const long y = yOf(v);
    page.markup("<line x1=\"").num(kLeft).markup("\" y1=\"").num(y).markup("\" x2=\"");
    page.num(kLeft + plotW).markup("\" y2=\"").num(y).markup("\" stroke=\"#D8D8D8\"/>");
    page.markup("<text x=\"").num(kLeft - 6).markup("\" y=\"").num(y + 4);
    page.markup("\" text-anchor=\"end\">").num(v).markup("</text>\n");
  }
  // Dates: under about eight evenly spread points, the last one included.
  const size_t every = n > 8 ? (n + 7) / 8 : 1;
  for (size_t i = 0; i < n && i < chart.labels.size(); ++i) {
    if ((n - 1 - i) % every != 0) continue;
    const long x = xOf(i);
    page.markup("<line x1=\"").num(x).markup("\" y1=\"").num(kTop + plotH).markup("\" x2=\"");
    page.num(x).markup("\" y2=\"").num(kTop + plotH + 4).markup("\" stroke=\"#000000\"/>");
    page.markup("<text x=\"").num(x).markup("\" y=\"").num(kTop + plotH + 18);
    page.markup("\" text-anchor=\"middle\">").text(chart.labels[i]).markup("</text>\n");
  }
  page.markup("</g>\n");
  // Axes: the count axis on the left, the time axis at zero.
  page.markup("<line x1=\"").num(kLeft).markup("\" y1=\"").num(kTop).markup("\" x2=\"");
  page.num(kLeft).markup("\" y2=\"").num(kTop + plotH).markup("\" stroke=\"#000000\"/>\n");
  page.markup("<line x1=\"").num(kLeft).markup("\" y1=\"").num(yOf(0)).markup("\" x2=\"");
  page.num(kLeft + plotW).markup("\" y2=\"").num(yOf(0)).markup("\" stroke=\"#000000\"/>\n");

  // The middle curves first: where curves meet (the flow and to-do graphs
  // keep their middle columns at zero) the first and the last stay visible,
  // the first on top.
  for (const int c : {1, 2, 3, 0}) {
    if (n == 0) break;
    page.markup("<polyline class=\"curve\" fill=\"none\" stroke-width=\"2\" stroke=\"");
    page.attr(chart.colours[c]).markup("\" points=\"");
    for (size_t i = 0; i < n; ++i) {
      if (i) page.markup(" ");
      page.num(xOf(i)).markup(",").num(yOf(chart.rows[i][c]));
    }
    page.markup("\"/>\n");
  }
  page.markup("</svg>\n");
}
