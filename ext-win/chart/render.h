// render.h - paints a CChart onto any QPainter (widget, QImage, SVG), and the
// pieces of that painting that are worth testing on their own: per-column
// decimation of long curves and marching squares.
//
// Contract
//   - render() takes the chart's lock for the whole painting and writes back
//     only the ranges it showed (Plot::shownX/shownY, read by GetPlotRange).
//   - decimate() keeps, for every run of consecutive points that fall into one
//     pixel column, the first, the lowest, the highest and the last point, in
//     their order: the drawn line covers exactly the pixels of the full one,
//     and no extreme is ever dropped. Non-finite points break the line.
//   - Painting never calls the field function: contour and surface charts use
//     the grid that CChart::UpdateField computed.
#pragma once
#include <QPointF>
#include <QRectF>
#include <QString>
#include <vector>

#include "chart.h"

class QPainter;
class QImage;

namespace qo::chart {

// Data to device: x' = ax * x + bx, y' = ay * y + by.
struct Mapping {
    double ax = 1, bx = 0, ay = 1, by = 0;
    double toX(double x) const { return ax * x + bx; }
    double toY(double y) const { return ay * y + by; }
    static Mapping between(const Range& x, const Range& y, const QRectF& device);
};

// A decimated polyline: points, and the index where each unbroken part starts.
struct Polyline {
    std::vector<QPointF> points;
    std::vector<int> starts;
};
void decimate(const double* x, const double* y, size_t n, const Mapping& m, double left, double right,
              Polyline* out);

// One contour level over a grid (n x n, row-major from y0): segments in data
// coordinates, two points per segment.
std::vector<QPointF> contourSegments(const CChart::FieldGrid& grid, double level);
// The levels drawn for `count` contour lines over [zmin, zmax].
std::vector<double> contourLevels(double zmin, double zmax, int count);

void render(const CChart& chart, QPainter& painter, const QRectF& area);

// Renders to a new image of the given size (white background).
QImage renderImage(const CChart& chart, int width, int height);
// Writes PNG or SVG (by the file's extension, case-insensitive); false on failure.
bool saveChart(const CChart& chart, const QString& file, int width, int height);

}  // namespace qo::chart
