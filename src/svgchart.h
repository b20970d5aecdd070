// svgchart.h: a line chart drawn on the server as inline SVG.
//
// The statistics graphs hand their series to a drawing applet that current
// browsers no longer run; the same series drawn here, inside the applet
// element, is what those browsers show instead.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "html.h"

constexpr int kChartCurves = 4;

struct tChart {
  int width = 600;
  int height = 400;
  std::string title;                                 // the chart's accessible name
  std::vector<std::string> labels;                   // one per point, along the x axis
  std::vector<std::array<long, kChartCurves>> rows;  // one per point: the curves' values
  std::array<std::string, kChartCurves> colours;     // of curves 1 to 4
};

// The chart as an <svg> element: axes, horizontal grid lines with their
// counts, a date under some of the points (at most about eight), and one
// polyline per curve (class "curve", curve 1 drawn last, on top of the
// others). A chart without rows has its axes
// only; a flat series gets a range of one.
void svgChart(tPage& page, const tChart& chart);
