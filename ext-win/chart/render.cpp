// render.cpp - drawing a chart: layouts of the chart types, axes with nice
// ticks, curves (decimated), markers, legends, pies, stems, contours and the
// projected 3D types.
#include "render.h"

#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

namespace qo::chart {

using Guard = std::lock_guard<std::recursive_mutex>;

namespace {

constexpr double kPi = 3.14159265358979323846;
const char* const kFontFamily = "WenQuanYi Micro Hei";

const uint32_t kPalette[] = {0xC07020, 0x2828D8, 0x30A030, 0xA030A0, 0x1090F0, 0xB0B000, 0x404040, 0x7070E0};

QColor colorOf(uint32_t bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

QColor dataColor(const DataSet& d, size_t index) {
    return colorOf(d.colorSet ? d.color : kPalette[index % std::size(kPalette)]);
}

QFont font(int pixels, bool bold = false) {
    QFont f(kFontFamily);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

// Blue through green to red, t in [0, 1].
QColor heat(double t) {
    t = std::clamp(t, 0.0, 1.0);
    double r = std::clamp(1.5 - std::abs(4 * t - 3), 0.0, 1.0);
    double g = std::clamp(1.5 - std::abs(4 * t - 2), 0.0, 1.0);
    double b = std::clamp(1.5 - std::abs(4 * t - 1), 0.0, 1.0);
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b));
}

Qt::PenStyle penStyle(int style) {
    switch (style) {
    case kDash: return Qt::DashLine;
    case kDot: return Qt::DotLine;
    case kDashDot: return Qt::DashDotLine;
    case kDashDotDot: return Qt::DashDotDotLine;
    case kNoLine: return Qt::NoPen;
    default: return Qt::SolidLine;
    }
}

QString label(double v) { return QString::number(v, 'g', 6); }

// ---- ranges ---------------------------------------------------------------

struct Extent {
    double lo = INFINITY, hi = -INFINITY;
    void add(double v) {
        if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    }
    bool empty() const { return lo > hi; }
};

Range autoRange(Extent e, bool exact) {
    if (e.empty()) return {0, 1};
    if (e.lo == e.hi) {
        double d = e.lo == 0 ? 1 : std::abs(e.lo) * 0.1;
        e.lo -= d, e.hi += d;
    }
    return exact ? Range{e.lo, e.hi} : niceRange(e.lo, e.hi, 6);
}

void extents(const Plot& p, Extent* x, Extent* y) {
    for (const DataSet& d : p.data) {
        for (double v : d.x) x->add(v);
        for (double v : d.y) y->add(v);
        if (d.plotType == kPlotArea || d.plotType == kPlotBars) y->add(0);
    }
}

Range zoomed(Range r, double factor, int center, bool) {
    if (factor == 1) return r;
    double c = center == kZoomOrigin ? 0 : center == kZoomLowerLeft ? r.lo : (r.lo + r.hi) / 2;
    return {c + (r.lo - c) / factor, c + (r.hi - c) / factor};
}

struct Frame {
    QRectF rect;
    Range x, y;
    // About one tick per 70 pixels across and per 40 pixels up.
    int xTicks() const { return std::clamp(static_cast<int>(rect.width() / 70), 2, 8); }
    int yTicks() const { return std::clamp(static_cast<int>(rect.height() / 40), 1, 6); }
};

// ---- axes -----------------------------------------------------------------

struct AxisOptions {
    bool xLabels = true;
    bool yOnRight = false;
    bool frame = true;
};

void drawGrid(QPainter& p, const Frame& f, const Plot& plot, const Mapping& m) {
    double sx, sy;
    std::vector<double> tx = niceTicks(f.x.lo, f.x.hi, f.xTicks(), &sx), ty = niceTicks(f.y.lo, f.y.hi, f.yTicks(), &sy);
    auto lines = [&](bool major, bool minor, const std::vector<double>& ticks, double step, bool vertical) {
        if (minor) {
            p.setPen(QPen(QColor(232, 232, 232), 0, Qt::DotLine));
            const Range& r = vertical ? f.x : f.y;
            double first = std::ceil(r.lo / (step / 5)) * (step / 5);
            for (double t = first; t <= r.hi; t += step / 5) {
                double d = vertical ? m.toX(t) : m.toY(t);
                vertical ? p.drawLine(QPointF(d, f.rect.top()), QPointF(d, f.rect.bottom()))
                         : p.drawLine(QPointF(f.rect.left(), d), QPointF(f.rect.right(), d));
            }
        }
        if (major) {
            p.setPen(QPen(QColor(200, 200, 200), 0, Qt::DashLine));
            for (double t : ticks) {
                double d = vertical ? m.toX(t) : m.toY(t);
                vertical ? p.drawLine(QPointF(d, f.rect.top()), QPointF(d, f.rect.bottom()))
                         : p.drawLine(QPointF(f.rect.left(), d), QPointF(f.rect.right(), d));
            }
        }
    };
    lines(plot.gridMajorX, plot.gridMinorX, tx, sx, true);
    lines(plot.gridMajorY, plot.gridMinorY, ty, sy, false);
}

void drawYTicks(QPainter& p, const Frame& f, const Mapping& m, bool right, double offset) {
    double step;
    p.setFont(font(12));
    double edge = right ? f.rect.right() + offset : f.rect.left();
    p.setPen(QPen(Qt::black, 0));
    if (offset > 0) p.drawLine(QPointF(edge, f.rect.top()), QPointF(edge, f.rect.bottom()));
    for (double t : niceTicks(f.y.lo, f.y.hi, f.yTicks(), &step)) {
        double y = m.toY(t);
        double dir = right ? 1 : -1;
        p.drawLine(QPointF(edge, y), QPointF(edge + 5 * dir, y));
        QRectF box = right ? QRectF(edge + 7, y - 8, 60, 16) : QRectF(edge - 67, y - 8, 60, 16);
        p.drawText(box, (right ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter, label(t));
    }
}

void drawAxes(QPainter& p, const Frame& f, const Plot& plot, const Mapping& m, const AxisOptions& o) {
    double step;
    p.setPen(QPen(Qt::black, 0));
    p.setBrush(Qt::NoBrush);
    if (o.frame) p.drawRect(f.rect);
    p.setFont(font(12));
    for (double t : niceTicks(f.x.lo, f.x.hi, f.xTicks(), &step)) {
        double x = m.toX(t);
        p.drawLine(QPointF(x, f.rect.bottom()), QPointF(x, f.rect.bottom() + 5));
        if (o.xLabels)
            p.drawText(QRectF(x - 50, f.rect.bottom() + 6, 100, 16), Qt::AlignHCenter | Qt::AlignTop, label(t));
    }
    drawYTicks(p, f, m, o.yOnRight, 0);
    if (!plot.title.isEmpty()) {
        p.setFont(font(13, true));
        p.drawText(QRectF(f.rect.left(), f.rect.top() - 22, f.rect.width(), 20), Qt::AlignCenter, plot.title);
    }
    p.setFont(font(12));
    if (!plot.xTitle.isEmpty() && o.xLabels)
        p.drawText(QRectF(f.rect.left(), f.rect.bottom() + 22, f.rect.width(), 18), Qt::AlignCenter, plot.xTitle);
    if (!plot.yTitle.isEmpty()) {
        p.save();
        p.translate(f.rect.left() - 62, f.rect.center().y());
        p.rotate(-90);
        p.drawText(QRectF(-f.rect.height() / 2, -18, f.rect.height(), 18), Qt::AlignCenter, plot.yTitle);
        p.restore();
    }
}

// ---- markers and curves ---------------------------------------------------

void drawMarker(QPainter& p, int type, QPointF c, double size) {
    double r = size / 2;
    switch (type) {
    case kCircle: p.drawEllipse(c, r, r); break;
    case kSquare: p.drawRect(QRectF(c.x() - r, c.y() - r, size, size)); break;
    case kDiamond: {
        QPointF pts[] = {{c.x(), c.y() - r}, {c.x() + r, c.y()}, {c.x(), c.y() + r}, {c.x() - r, c.y()}};
        p.drawPolygon(pts, 4);
        break;
    }
    case kRightTriangle:
    case kLeftTriangle:
    case kUpTriangle:
    case kDownTriangle: {
        static const double angle[] = {0, 180, -90, 90};
        double a0 = angle[type - kRightTriangle] * kPi / 180;
        QPointF pts[3];
        for (int i = 0; i < 3; ++i)
            pts[i] = c + QPointF(r * std::cos(a0 + i * 2 * kPi / 3), r * std::sin(a0 + i * 2 * kPi / 3));
        p.drawPolygon(pts, 3);
        break;
    }
    case kFork:
        p.drawLine(c + QPointF(-r, -r), c + QPointF(r, r));
        p.drawLine(c + QPointF(-r, r), c + QPointF(r, -r));
        break;
    case kCross:
        p.drawLine(c + QPointF(-r, 0), c + QPointF(r, 0));
        p.drawLine(c + QPointF(0, -r), c + QPointF(0, r));
        break;
    case kBar: p.drawLine(c + QPointF(-r, 0), c + QPointF(r, 0)); break;
    case kSmallDot: p.drawEllipse(c, 1.5, 1.5); break;
    default: break;
    }
}

void setMarkerPen(QPainter& p, const DataSet& d, const QColor& color) {
    p.setPen(QPen(color, 1.2));
    bool filled = d.markerFill || d.markerType == kSmallDot;
    p.setBrush(filled ? QBrush(color) : QBrush(Qt::white));
}

void drawMarkers(QPainter& p, const DataSet& d, const QColor& color, const Mapping& m, const QRectF& clip) {
    size_t n = std::min(d.x.size(), d.y.size());
    if (n == 0 || d.markerType == kMarkerNone) return;
    size_t every = 1;
    if (d.markerFreq > 0) every = static_cast<size_t>(d.markerFreq);
    else if (d.markerFreq < 0) every = std::max<size_t>(1, n / static_cast<size_t>(-static_cast<int64_t>(d.markerFreq)));
    setMarkerPen(p, d, color);
    QRectF box = clip.adjusted(-d.markerSize, -d.markerSize, d.markerSize, d.markerSize);
    int lastX = INT_MIN, lastY = INT_MIN;
    for (size_t i = 0; i < n; i += every) {
        QPointF c(m.toX(d.x[i]), m.toY(d.y[i]));
        if (!box.contains(c)) continue;
        int px = static_cast<int>(c.x()), py = static_cast<int>(c.y());
        if (px == lastX && py == lastY) continue;  // one marker per pixel is enough
        lastX = px, lastY = py;
        drawMarker(p, d.markerType, c, d.markerSize);
    }
}

void drawPolyline(QPainter& p, const Polyline& line) {
    for (size_t s = 0; s < line.starts.size(); ++s) {
        int begin = line.starts[s];
        int end = s + 1 < line.starts.size() ? line.starts[s + 1] : static_cast<int>(line.points.size());
        if (end - begin >= 2) p.drawPolyline(line.points.data() + begin, end - begin);
        else if (end - begin == 1) p.drawPoint(line.points[begin]);
    }
}

void drawCurve(QPainter& p, const DataSet& d, size_t index, const Frame& f, const Mapping& m) {
    QColor color = dataColor(d, index);
    size_t n = std::min(d.x.size(), d.y.size());
    if (n == 0) return;
    double base = m.toY(std::clamp(0.0, f.y.lo, f.y.hi));
    if (d.plotType == kPlotBars) {
        double w = std::max(1.0, f.rect.width() / (2.0 * static_cast<double>(n)));
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        for (size_t i = 0; i < n; ++i) {
            double x = m.toX(d.x[i]), y = m.toY(d.y[i]);
            p.drawRect(QRectF(x - w / 2, std::min(y, base), w, std::abs(y - base)));
        }
    } else if (d.plotType != kPlotScatter) {
        Polyline line;
        if (d.plotType == kPlotSteps) {
            std::vector<double> sx, sy;
            sx.reserve(2 * n), sy.reserve(2 * n);
            for (size_t i = 0; i < n; ++i) {
                if (i > 0) sx.push_back(d.x[i]), sy.push_back(d.y[i - 1]);
                sx.push_back(d.x[i]), sy.push_back(d.y[i]);
            }
            decimate(sx.data(), sy.data(), sx.size(), m, f.rect.left(), f.rect.right(), &line);
        } else {
            decimate(d.x.data(), d.y.data(), n, m, f.rect.left(), f.rect.right(), &line);
        }
        if (d.plotType == kPlotArea) {
            QColor fill = color;
            fill.setAlpha(90);
            p.setPen(Qt::NoPen);
            p.setBrush(fill);
            for (size_t s = 0; s < line.starts.size(); ++s) {
                int begin = line.starts[s];
                int end = s + 1 < line.starts.size() ? line.starts[s + 1] : static_cast<int>(line.points.size());
                if (end - begin < 2) continue;
                QPolygonF poly;
                poly << QPointF(line.points[begin].x(), base);
                for (int i = begin; i < end; ++i) poly << line.points[i];
                poly << QPointF(line.points[end - 1].x(), base);
                p.drawPolygon(poly);
            }
        }
        QPen pen(color, d.lineSize, penStyle(d.lineStyle));
        pen.setCapStyle(Qt::FlatCap);
        pen.setJoinStyle(Qt::RoundJoin);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        drawPolyline(p, line);
    }
    if (d.markerShow || d.plotType == kPlotScatter) drawMarkers(p, d, color, m, f.rect);
}

QString dataName(const DataSet& d) { return d.title.isEmpty() ? QStringLiteral("曲线 %1").arg(d.id) : d.title; }

void drawLegend(QPainter& p, const Plot& plot, const QRectF& rect) {
    if (!plot.legend || plot.data.empty()) return;
    p.setFont(font(12));
    QFontMetricsF fm(p.font());
    double w = 0;
    for (const DataSet& d : plot.data) w = std::max(w, fm.horizontalAdvance(dataName(d)));
    double rowH = 18, boxW = w + 44, boxH = rowH * static_cast<double>(plot.data.size()) + 8;
    QRectF box(rect.right() - boxW - 8, rect.top() + 8, boxW, boxH);
    p.setPen(QPen(QColor(120, 120, 120), 0));
    p.setBrush(QColor(255, 255, 255, 230));
    p.drawRect(box);
    for (size_t i = 0; i < plot.data.size(); ++i) {
        const DataSet& d = plot.data[i];
        QColor color = dataColor(d, i);
        double y = box.top() + 4 + rowH * (static_cast<double>(i) + 0.5);
        if (d.plotType != kPlotScatter && d.lineStyle != kNoLine) {
            p.setPen(QPen(color, std::max(1, d.lineSize), penStyle(d.lineStyle)));
            p.drawLine(QPointF(box.left() + 6, y), QPointF(box.left() + 32, y));
        }
        if (d.markerShow || d.plotType == kPlotScatter) {
            setMarkerPen(p, d, color);
            drawMarker(p, d.markerType, QPointF(box.left() + 19, y), std::min(d.markerSize, 10));
        }
        p.setPen(Qt::black);
        p.drawText(QRectF(box.left() + 38, y - rowH / 2, w + 4, rowH), Qt::AlignLeft | Qt::AlignVCenter, dataName(d));
    }
}

// ---- XY plots ---------------------------------------------------------------

struct XYOptions {
    const Range* sharedX = nullptr;
    bool xLabels = true;
};

QRectF innerRect(const QRectF& area, const Plot& plot, bool xLabels) {
    double top = 10 + (plot.title.isEmpty() ? 0 : 22);
    double bottom = xLabels ? 26 + (plot.xTitle.isEmpty() ? 0 : 18) : 8;
    double left = 64 + (plot.yTitle.isEmpty() ? 0 : 14);
    return area.adjusted(left, top, -18, -bottom);
}

Frame frameOf(const Plot& plot, const CChart::Settings& s, const QRectF& area, const XYOptions& o) {
    Extent ex, ey;
    extents(plot, &ex, &ey);
    Frame f;
    f.rect = innerRect(area, plot, o.xLabels);
    f.x = o.sharedX ? *o.sharedX : plot.fixedX ? plot.x : autoRange(ex, plot.exactX);
    f.y = plot.fixedY ? plot.y : autoRange(ey, plot.exactY);
    if (!o.sharedX) f.x = zoomed(f.x, s.zoomX, s.zoomCenter, true);
    f.y = zoomed(f.y, s.zoomY, s.zoomCenter, false);
    if (s.equalRange) {
        Range u{std::min(f.x.lo, f.y.lo), std::max(f.x.hi, f.y.hi)};
        f.x = f.y = u;
    }
    if (s.equalAxis) {  // a square plot area
        double side = std::min(f.rect.width(), f.rect.height());
        f.rect = QRectF(f.rect.center().x() - side / 2, f.rect.center().y() - side / 2, side, side);
    }
    if (s.equalScale && f.rect.width() > 0 && f.rect.height() > 0) {  // one unit is as long on both axes
        double ux = f.x.width() / f.rect.width(), uy = f.y.width() / f.rect.height();
        if (ux < uy) {
            double c = (f.x.lo + f.x.hi) / 2, h = uy * f.rect.width() / 2;
            f.x = {c - h, c + h};
        } else {
            double c = (f.y.lo + f.y.hi) / 2, h = ux * f.rect.height() / 2;
            f.y = {c - h, c + h};
        }
    }
    return f;
}

void drawXY(QPainter& p, Plot& plot, const CChart::Settings& s, const QRectF& area, const XYOptions& o) {
    if (area.width() < 90 || area.height() < 60) return;
    Frame f = frameOf(plot, s, area, o);
    plot.shownX = f.x, plot.shownY = f.y;
    Mapping m = Mapping::between(f.x, f.y, f.rect);
    drawGrid(p, f, plot, m);
    p.save();
    p.setClipRect(f.rect.adjusted(-1, -1, 1, 1));
    for (size_t i = 0; i < plot.data.size(); ++i) drawCurve(p, plot.data[i], i, f, m);
    p.restore();
    AxisOptions ao;
    ao.xLabels = o.xLabels;
    drawAxes(p, f, plot, m, ao);
    drawLegend(p, plot, f.rect);
}

std::vector<QRectF> layoutPlots(const CChart::Settings& s, int n, const QRectF& area) {
    std::vector<QRectF> rects;
    auto row = [&](int count, double top, double h, double left, double w) {
        for (int i = 0; i < count; ++i) rects.emplace_back(left + w * i / count, top, w / count, h);
    };
    auto grid = [&](int rows, int cols, const QRectF& r) {
        for (int j = 0; j < rows; ++j) row(cols, r.top() + r.height() * j / rows, r.height() / rows, r.left(), r.width());
    };
    double W = area.width(), H = area.height(), L = area.left(), T = area.top();
    int a = s.resizeA, b = s.resizeB;
    switch (s.resizeMode) {
    case kTwoRows:
        row(a, T, H / 2, L, W);
        row(b, T + H / 2, H / 2, L, W);
        break;
    case kTwoColumns:
        for (int i = 0; i < a; ++i) rects.emplace_back(L, T + H * i / a, W / 2, H / a);
        for (int i = 0; i < b; ++i) rects.emplace_back(L + W / 2, T + H * i / b, W / 2, H / b);
        break;
    case kBigTop:
        rects.emplace_back(L, T, W, H / 2);
        grid(a, b, QRectF(L, T + H / 2, W, H / 2));
        break;
    case kBigLeft:
        rects.emplace_back(L, T, W / 2, H);
        grid(a, b, QRectF(L + W / 2, T, W / 2, H));
        break;
    case kStacked: grid(a, 1, area); break;
    default: grid(a, b, area); break;
    }
    while (static_cast<int>(rects.size()) < n) rects.push_back(rects.empty() ? area : rects.back());
    return rects;
}

void drawSplit(QPainter& p, CChart& c, const QRectF& area) {
    auto& plots = c.plots();
    std::vector<QRectF> rects = layoutPlots(c.settings(), static_cast<int>(plots.size()), area);
    for (size_t i = 0; i < plots.size(); ++i) drawXY(p, plots[i], c.settings(), rects[i], {});
}

Range sharedXRange(const std::vector<Plot>& plots, const CChart::Settings& s) {
    if (plots[0].fixedX) return zoomed(plots[0].x, s.zoomX, s.zoomCenter, true);
    Extent ex, ey;
    bool exact = plots[0].exactX;
    for (const Plot& pl : plots) extents(pl, &ex, &ey);
    return zoomed(autoRange(ex, exact), s.zoomX, s.zoomCenter, true);
}

void drawShareX(QPainter& p, CChart& c, const QRectF& area) {
    auto& plots = c.plots();
    Range x = sharedXRange(plots, c.settings());
    int n = static_cast<int>(plots.size());
    double labelRoom = 26;
    double h = (area.height() - labelRoom) / n;
    for (int i = 0; i < n; ++i) {
        XYOptions o;
        o.sharedX = &x;
        o.xLabels = i == n - 1;
        QRectF r(area.left(), area.top() + h * i, area.width(), h + (o.xLabels ? labelRoom : 0));
        drawXY(p, plots[i], c.settings(), r, o);
    }
}

void drawLayered(QPainter& p, CChart& c, const QRectF& area) {
    auto& plots = c.plots();
    int n = static_cast<int>(plots.size());
    QRectF inner = area.adjusted(0, 0, -60.0 * (n - 1), 0);
    Range x = sharedXRange(plots, c.settings());
    XYOptions o;
    o.sharedX = &x;
    drawXY(p, plots[0], c.settings(), inner, o);
    Frame base = frameOf(plots[0], c.settings(), inner, o);
    for (int k = 1; k < n; ++k) {
        Frame f = frameOf(plots[k], c.settings(), inner, o);
        f.rect = base.rect;
        plots[k].shownX = f.x, plots[k].shownY = f.y;
        Mapping m = Mapping::between(f.x, f.y, f.rect);
        p.save();
        p.setClipRect(f.rect);
        for (size_t i = 0; i < plots[k].data.size(); ++i) drawCurve(p, plots[k].data[i], i + 4 * k, f, m);
        p.restore();
        drawYTicks(p, f, m, true, 60.0 * (k - 1));
    }
}

// ---- pies and stems ---------------------------------------------------------

void drawPies(QPainter& p, const CChart& c, const QRectF& area) {
    double total = 0;
    for (const Slice& s : c.pies()) total += s.value;
    if (total <= 0) return;
    double side = std::min(area.width() * 0.6, area.height()) - 30;
    if (side < 20) return;
    QRectF circle(area.left() + 20, area.center().y() - side / 2, side, side);
    double angle = 90 * 16;
    p.setFont(font(12));
    QFontMetricsF fm(p.font());
    for (size_t i = 0; i < c.pies().size(); ++i) {
        const Slice& s = c.pies()[i];
        double span = -s.value / total * 360 * 16;
        QColor color = colorOf(kPalette[i % std::size(kPalette)]);
        p.setPen(QPen(Qt::white, 1.5));
        p.setBrush(color);
        p.drawPie(circle, static_cast<int>(std::lround(angle)), static_cast<int>(std::lround(span)));
        double mid = (angle + span / 2) / 16 * kPi / 180;
        QPointF at = circle.center() + QPointF(std::cos(mid), -std::sin(mid)) * side * 0.33;
        QString pct = QString::number(s.value / total * 100, 'f', 1) + "%";
        p.setPen(Qt::white);
        p.drawText(QRectF(at.x() - 30, at.y() - 9, 60, 18), Qt::AlignCenter, pct);
        angle += span;
        double y = area.top() + 20 + 22 * static_cast<double>(i);
        double lx = circle.right() + 30;
        p.setPen(Qt::NoPen);
        p.drawRect(QRectF(lx, y - 6, 14, 14));
        p.setPen(Qt::black);
        QString name = s.title.isEmpty() ? QStringLiteral("扇区 %1").arg(i + 1) : s.title;
        p.drawText(QRectF(lx + 20, y - 9, area.right() - lx - 20, 20), Qt::AlignLeft | Qt::AlignVCenter,
                   name + "  " + label(s.value));
    }
}

void drawStems(QPainter& p, CChart& c, const QRectF& area) {
    Plot& plot = c.plots()[0];
    Extent ex, ey;
    ey.add(0);
    size_t longest = 0;
    for (const Stems& s : c.stems()) {
        longest = std::max(longest, s.y.size());
        for (double v : s.y) ey.add(v);
    }
    ex.add(0.5), ex.add(static_cast<double>(longest) + 0.5);
    Frame f;
    f.rect = innerRect(area, plot, true);
    f.x = plot.fixedX ? plot.x : Range{ex.lo, ex.hi};
    f.y = plot.fixedY ? plot.y : autoRange(ey, plot.exactY);
    plot.shownX = f.x, plot.shownY = f.y;
    Mapping m = Mapping::between(f.x, f.y, f.rect);
    drawGrid(p, f, plot, m);
    size_t count = c.stems().size();
    double base = m.toY(std::clamp(0.0, f.y.lo, f.y.hi));
    p.save();
    p.setClipRect(f.rect);
    for (size_t k = 0; k < count; ++k) {
        const Stems& s = c.stems()[k];
        QColor color = colorOf(kPalette[k % std::size(kPalette)]);
        double shift = count > 1 ? (static_cast<double>(k) - (count - 1) / 2.0) * 0.6 / count : 0;
        for (size_t i = 0; i < s.y.size(); ++i) {
            QPointF top(m.toX(static_cast<double>(i + 1) + shift), m.toY(s.y[i]));
            p.setPen(QPen(color, 1.5));
            p.drawLine(QPointF(top.x(), base), top);
            p.setBrush(color);
            p.drawEllipse(top, 3.5, 3.5);
        }
    }
    p.setPen(QPen(Qt::black, 0));
    p.drawLine(QPointF(f.rect.left(), base), QPointF(f.rect.right(), base));
    p.restore();
    drawAxes(p, f, plot, m, {});
    if (plot.legend && count > 0) {
        Plot legend;
        legend.legend = true;
        for (size_t k = 0; k < count; ++k) {
            DataSet d;
            d.id = c.stems()[k].id;
            d.title = c.stems()[k].title;
            d.plotType = kPlotScatter;
            d.markerFill = true;
            legend.data.push_back(d);
        }
        drawLegend(p, legend, f.rect);
    }
}

// ---- contours ---------------------------------------------------------------

Extent gridExtent(const CChart::FieldGrid& g) {
    Extent e;
    for (double v : g.z) e.add(v);
    return e;
}

void fillMap(QPainter& p, const CChart::FieldGrid& g, const Frame& f, const std::vector<double>& levels, Extent e) {
    int w = static_cast<int>(f.rect.width()), h = static_cast<int>(f.rect.height());
    if (w <= 0 || h <= 0) return;
    QImage img(w, h, QImage::Format_RGB32);
    int bands = static_cast<int>(levels.size()) + 1;
    std::vector<QRgb> lut(static_cast<size_t>(bands));
    for (int b = 0; b < bands; ++b) lut[static_cast<size_t>(b)] = heat((b + 0.5) / bands).rgb();
    double step = levels.size() > 1 ? levels[1] - levels[0] : (e.hi - e.lo);
    double first = levels.empty() ? e.hi : levels[0];
    int n = g.n;
    std::vector<int> ci(static_cast<size_t>(w));
    std::vector<double> cf(static_cast<size_t>(w));
    for (int i = 0; i < w; ++i) {
        double x = f.x.lo + f.x.width() * (i + 0.5) / w;
        double gx = std::clamp((x - g.x0) / (g.x1 - g.x0) * (n - 1), 0.0, n - 1.000001);
        ci[static_cast<size_t>(i)] = static_cast<int>(gx);
        cf[static_cast<size_t>(i)] = gx - static_cast<int>(gx);
    }
    const double* z = g.z.data();
    for (int j = 0; j < h; ++j) {
        double y = f.y.hi - f.y.width() * (j + 0.5) / h;
        double gy = std::clamp((y - g.y0) / (g.y1 - g.y0) * (n - 1), 0.0, n - 1.000001);
        int r = static_cast<int>(gy);
        double fy = gy - r;
        const double* row0 = z + static_cast<size_t>(r) * n;
        const double* row1 = row0 + n;
        QRgb* line = reinterpret_cast<QRgb*>(img.scanLine(j));
        for (int i = 0; i < w; ++i) {
            int c = ci[static_cast<size_t>(i)];
            double fx = cf[static_cast<size_t>(i)];
            double a = row0[c] + (row0[c + 1] - row0[c]) * fx;
            double b = row1[c] + (row1[c + 1] - row1[c]) * fx;
            double v = a + (b - a) * fy;
            double t = step > 0 ? (v - first) / step + 1 : 0;
            int band = std::isfinite(t) ? std::clamp(static_cast<int>(std::floor(t)), 0, bands - 1) : 0;
            line[i] = lut[static_cast<size_t>(band)];
        }
    }
    p.drawImage(f.rect.topLeft(), img);
}

void drawContours(QPainter& p, CChart& c, const QRectF& area, bool filled) {
    Plot& plot = c.plots()[0];
    const CChart::FieldGrid& g = c.field();
    Frame f;
    f.rect = innerRect(area, plot, true).adjusted(0, 0, filled ? -40 : 0, 0);
    f.x = plot.fixedX ? plot.x : Range{g.x0, g.x1};
    f.y = plot.fixedY ? plot.y : Range{g.y0, g.y1};
    plot.shownX = f.x, plot.shownY = f.y;
    Mapping m = Mapping::between(f.x, f.y, f.rect);
    if (g.n >= 2 && static_cast<int>(g.z.size()) == g.n * g.n) {
        Extent e = gridExtent(g);
        std::vector<double> levels = e.empty() ? std::vector<double>{} : contourLevels(e.lo, e.hi, c.settings().contourLines);
        p.save();
        p.setClipRect(f.rect);
        if (filled) fillMap(p, g, f, levels, e);
        for (size_t i = 0; i < levels.size(); ++i) {
            QColor color = filled ? QColor(40, 40, 40) : heat(levels.size() > 1 ? double(i) / (levels.size() - 1) : 0.5);
            p.setPen(QPen(color, filled ? 0.8 : 1.4));
            std::vector<QPointF> seg = contourSegments(g, levels[i]);
            for (QPointF& q : seg) q = QPointF(m.toX(q.x()), m.toY(q.y()));
            p.drawLines(seg.data(), static_cast<int>(seg.size() / 2));
        }
        p.restore();
        if (filled && !levels.empty()) {  // the colour bar
            int bands = static_cast<int>(levels.size()) + 1;
            QRectF bar(f.rect.right() + 12, f.rect.top(), 14, f.rect.height());
            for (int b = 0; b < bands; ++b) {
                p.fillRect(QRectF(bar.left(), bar.bottom() - bar.height() * (b + 1) / bands, bar.width(),
                                  bar.height() / bands + 0.5),
                           heat((b + 0.5) / bands));
            }
            p.setPen(QPen(Qt::black, 0));
            p.setBrush(Qt::NoBrush);
            p.drawRect(bar);
        }
    }
    drawAxes(p, f, plot, m, {});
}

// ---- 3D ---------------------------------------------------------------------

struct Projection {
    Range x, y, z;
    double ca, sa, ce, se, scale = 1, cx = 0, cy = 0;
    Projection(Range x_, Range y_, Range z_, const QRectF& rect) : x(x_), y(y_), z(z_) {
        double a = -35 * kPi / 180, e = 25 * kPi / 180;
        ca = std::cos(a), sa = std::sin(a), ce = std::cos(e), se = std::sin(e);
        double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
        for (int i = 0; i < 8; ++i) {
            QPointF q = raw(i & 1 ? 1 : -1, i & 2 ? 1 : -1, i & 4 ? 1 : -1);
            minX = std::min(minX, q.x()), maxX = std::max(maxX, q.x());
            minY = std::min(minY, q.y()), maxY = std::max(maxY, q.y());
        }
        scale = std::min(rect.width() / (maxX - minX), rect.height() / (maxY - minY)) * 0.85;
        cx = rect.center().x() - scale * (minX + maxX) / 2;
        cy = rect.center().y() - scale * (minY + maxY) / 2;
    }
    QPointF raw(double u, double v, double w) const {
        double px = u * ca - v * sa;
        double depth = u * sa + v * ca;
        return {px, -(w * ce - depth * se)};
    }
    static double unit(const Range& r, double t) { return r.width() > 0 ? 2 * (t - r.lo) / r.width() - 1 : 0; }
    QPointF operator()(double px, double py, double pz) const {
        QPointF q = raw(unit(x, px), unit(y, py), unit(z, pz));
        return {cx + scale * q.x(), cy + scale * q.y()};
    }
    double depth(double px, double py) const { return unit(x, px) * sa + unit(y, py) * ca; }
};

void drawBox(QPainter& p, const Projection& pr) {
    p.setPen(QPen(QColor(150, 150, 150), 0));
    const Range &X = pr.x, &Y = pr.y, &Z = pr.z;
    auto line = [&](double x0, double y0, double z0, double x1, double y1, double z1) {
        p.drawLine(pr(x0, y0, z0), pr(x1, y1, z1));
    };
    for (double zz : {Z.lo, Z.hi}) {
        line(X.lo, Y.lo, zz, X.hi, Y.lo, zz), line(X.lo, Y.hi, zz, X.hi, Y.hi, zz);
        line(X.lo, Y.lo, zz, X.lo, Y.hi, zz), line(X.hi, Y.lo, zz, X.hi, Y.hi, zz);
    }
    for (double xx : {X.lo, X.hi})
        for (double yy : {Y.lo, Y.hi}) line(xx, yy, Z.lo, xx, yy, Z.hi);
    p.setPen(Qt::black);
    p.setFont(font(11));
    auto text = [&](QPointF at, const QString& s) { p.drawText(QRectF(at.x() - 40, at.y(), 80, 16), Qt::AlignCenter, s); };
    text(pr(X.lo, Y.lo, Z.lo), "x " + label(X.lo));
    text(pr(X.hi, Y.lo, Z.lo), "x " + label(X.hi));
    text(pr(X.hi, Y.hi, Z.lo), "y " + label(Y.hi));
    text(pr(X.lo, Y.lo, Z.hi) - QPointF(0, 16), "z " + label(Z.hi));
    text(pr(X.lo, Y.lo, Z.lo) + QPointF(0, 14), "z " + label(Z.lo));
}

void draw3DLines(QPainter& p, CChart& c, const QRectF& area) {
    Plot& plot = c.plots()[0];
    Extent ex, ey, ez;
    for (const DataSet& d : plot.data)
        for (size_t i = 0; i < d.z.size() && i < d.x.size() && i < d.y.size(); ++i)
            ex.add(d.x[i]), ey.add(d.y[i]), ez.add(d.z[i]);
    Projection pr(autoRange(ex, true), autoRange(ey, true), autoRange(ez, true), area.adjusted(10, 10, -10, -10));
    drawBox(p, pr);
    for (size_t k = 0; k < plot.data.size(); ++k) {
        const DataSet& d = plot.data[k];
        size_t n = std::min({d.x.size(), d.y.size(), d.z.size()});
        QColor color = dataColor(d, k);
        QPolygonF poly;
        poly.reserve(static_cast<int>(n));
        for (size_t i = 0; i < n; ++i) poly << pr(d.x[i], d.y[i], d.z[i]);
        if (d.plotType != kPlotScatter) {
            p.setPen(QPen(color, d.lineSize, penStyle(d.lineStyle)));
            p.setBrush(Qt::NoBrush);
            p.drawPolyline(poly);
        }
        if (d.markerShow || d.plotType == kPlotScatter) {
            setMarkerPen(p, d, color);
            for (const QPointF& q : poly) drawMarker(p, d.markerType, q, d.markerSize);
        }
    }
    drawLegend(p, plot, area);
}

void drawSurface(QPainter& p, CChart& c, const QRectF& area) {
    const CChart::FieldGrid& g = c.field();
    if (g.n < 2 || static_cast<int>(g.z.size()) != g.n * g.n) return;
    Extent ez = gridExtent(g);
    if (ez.empty()) return;
    Range zr = autoRange(ez, true);
    Projection pr({g.x0, g.x1}, {g.y0, g.y1}, zr, area.adjusted(10, 10, -10, -10));
    drawBox(p, pr);
    int step = std::max(1, (g.n - 1) / 48);  // at most about 48 x 48 facets
    struct Facet {
        double depth;
        QPointF pts[4];
        double z;
    };
    std::vector<Facet> facets;
    auto X = [&](int i) { return g.x0 + (g.x1 - g.x0) * i / (g.n - 1); };
    auto Y = [&](int j) { return g.y0 + (g.y1 - g.y0) * j / (g.n - 1); };
    auto Z = [&](int i, int j) { return g.z[static_cast<size_t>(j) * g.n + i]; };
    for (int j = 0; j + step < g.n; j += step)
        for (int i = 0; i + step < g.n; i += step) {
            int i1 = i + step, j1 = j + step;
            double zs[4] = {Z(i, j), Z(i1, j), Z(i1, j1), Z(i, j1)};
            if (!std::all_of(zs, zs + 4, [](double v) { return std::isfinite(v); })) continue;
            Facet f;
            f.pts[0] = pr(X(i), Y(j), zs[0]), f.pts[1] = pr(X(i1), Y(j), zs[1]);
            f.pts[2] = pr(X(i1), Y(j1), zs[2]), f.pts[3] = pr(X(i), Y(j1), zs[3]);
            f.z = (zs[0] + zs[1] + zs[2] + zs[3]) / 4;
            f.depth = pr.depth((X(i) + X(i1)) / 2, (Y(j) + Y(j1)) / 2);
            facets.push_back(f);
        }
    std::sort(facets.begin(), facets.end(), [](const Facet& a, const Facet& b) { return a.depth > b.depth; });
    for (const Facet& f : facets) {
        QColor col = heat(zr.width() > 0 ? (f.z - zr.lo) / zr.width() : 0.5);
        p.setBrush(col);
        p.setPen(QPen(col.darker(150), 0.5));
        p.drawPolygon(f.pts, 4);
    }
}

}  // namespace

Mapping Mapping::between(const Range& x, const Range& y, const QRectF& d) {
    Mapping m;
    m.ax = x.width() != 0 ? d.width() / x.width() : 1;
    m.bx = d.left() - m.ax * x.lo;
    m.ay = y.width() != 0 ? -d.height() / y.width() : 1;
    m.by = d.bottom() - m.ay * y.lo;
    return m;
}

void decimate(const double* x, const double* y, size_t n, const Mapping& m, double left, double right,
              Polyline* out) {
    out->points.clear();
    out->starts.clear();
    const int lo = static_cast<int>(std::floor(left)) - 1, hi = static_cast<int>(std::ceil(right)) + 1;
    const double kFar = 1e7;  // keeps device coordinates within what the painter handles
    bool open = false;        // a part of the line is open
    bool run = false;         // a column run is open
    int col = 0;
    QPointF first, last, low, high;
    size_t count = 0, lowAt = 0, highAt = 0;
    auto flush = [&] {
        if (!run) return;
        out->points.push_back(first);
        if (count > 1) {
            bool lowFirst = lowAt <= highAt;
            const QPointF& a = lowFirst ? low : high;
            const QPointF& b = lowFirst ? high : low;
            size_t aAt = lowFirst ? lowAt : highAt, bAt = lowFirst ? highAt : lowAt;
            if (aAt != 0 && aAt != count - 1) out->points.push_back(a);
            if (bAt != 0 && bAt != count - 1 && bAt != aAt) out->points.push_back(b);
            out->points.push_back(last);
        }
        run = false;
    };
    for (size_t i = 0; i < n; ++i) {
        double px = m.ax * x[i] + m.bx, py = m.ay * y[i] + m.by;
        if (!std::isfinite(px) || !std::isfinite(py)) {
            flush();
            open = false;
            continue;
        }
        px = std::clamp(px, -kFar, kFar);
        py = std::clamp(py, -kFar, kFar);
        int c = std::clamp(static_cast<int>(std::floor(px)), lo, hi);
        QPointF pt(px, py);
        if (run && c == col) {
            last = pt;
            if (py < low.y()) low = pt, lowAt = count;
            if (py > high.y()) high = pt, highAt = count;
            ++count;
            continue;
        }
        flush();
        if (!open) {
            out->starts.push_back(static_cast<int>(out->points.size()));
            open = true;
        }
        run = true;
        col = c;
        first = last = low = high = pt;
        count = 1, lowAt = highAt = 0;
    }
    flush();
}

std::vector<double> contourLevels(double zmin, double zmax, int count) {
    std::vector<double> levels;
    if (!(zmax > zmin) || count <= 0) return levels;
    for (int i = 1; i <= count; ++i) levels.push_back(zmin + (zmax - zmin) * i / (count + 1));
    return levels;
}

std::vector<QPointF> contourSegments(const CChart::FieldGrid& g, double level) {
    std::vector<QPointF> seg;
    int n = g.n;
    if (n < 2 || static_cast<int>(g.z.size()) != n * n) return seg;
    double dx = (g.x1 - g.x0) / (n - 1), dy = (g.y1 - g.y0) / (n - 1);
    const double* z = g.z.data();
    for (int j = 0; j + 1 < n; ++j) {
        const double* r0 = z + static_cast<size_t>(j) * n;
        const double* r1 = r0 + n;
        for (int i = 0; i + 1 < n; ++i) {
            // Corners counter-clockwise from the lower left: a (i, j), b (i+1, j), c (i+1, j+1), d (i, j+1).
            double a = r0[i], b = r0[i + 1], c = r1[i + 1], d = r1[i];
            int code = (a > level) | (b > level) << 1 | (c > level) << 2 | (d > level) << 3;
            if (code == 0 || code == 15) continue;
            if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c) || !std::isfinite(d)) continue;
            double x = g.x0 + i * dx, y = g.y0 + j * dy;
            auto at = [&](double z0, double z1) { return (level - z0) / (z1 - z0); };
            QPointF bottom(x + dx * at(a, b), y), right(x + dx, y + dy * at(b, c));
            QPointF top(x + dx * at(d, c), y + dy), left(x, y + dy * at(a, d));
            auto add = [&](QPointF p, QPointF q) { seg.push_back(p), seg.push_back(q); };
            switch (code) {
            case 1: case 14: add(left, bottom); break;
            case 2: case 13: add(bottom, right); break;
            case 3: case 12: add(left, right); break;
            case 4: case 11: add(right, top); break;
            case 6: case 9: add(bottom, top); break;
            case 7: case 8: add(left, top); break;
            case 5:
            case 10: {  // a saddle: the cell's mean decides which corners connect
                bool centreAbove = (a + b + c + d) / 4 > level;
                if ((code == 5) == centreAbove) add(left, top), add(bottom, right);
                else add(left, bottom), add(right, top);
                break;
            }
            }
        }
    }
    return seg;
}

void render(const CChart& constChart, QPainter& p, const QRectF& area) {
    CChart& c = const_cast<CChart&>(constChart);  // only the shown ranges are written
    Guard g(c.lock());
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    QRectF body = area;
    const CChart::Settings& s = c.settings();
    if (!s.title.isEmpty()) {
        p.setPen(Qt::black);
        p.setFont(font(16, true));
        p.drawText(QRectF(area.left(), area.top() + 4, area.width(), 24), Qt::AlignCenter, s.title);
        body.setTop(area.top() + 30);
    }
    switch (s.type) {
    case kTypeSplit: drawSplit(p, c, body); break;
    case kTypeShareX: drawShareX(p, c, body); break;
    case kTypeLayered: drawLayered(p, c, body); break;
    case kTypePie: drawPies(p, c, body); break;
    case kTypeStem: drawStems(p, c, body); break;
    case kTypeContourLine: drawContours(p, c, body, false); break;
    case kTypeContourMap: drawContours(p, c, body, true); break;
    case kType3DLine: draw3DLines(p, c, body); break;
    case kType3DSurface: drawSurface(p, c, body); break;
    default: drawXY(p, c.plots()[0], s, body, {}); break;
    }
    p.restore();
}

QImage renderImage(const CChart& chart, int width, int height) {
    QImage img(std::max(1, width), std::max(1, height), QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    render(chart, p, QRectF(0, 0, img.width(), img.height()));
    return img;
}

bool saveChart(const CChart& chart, const QString& file, int width, int height) {
    if (width <= 0 || height <= 0 || width > 20000 || height > 20000) return false;
    QString suffix = QFileInfo(file).suffix().toLower();
    if (suffix == "svg") {
        QSvgGenerator svg;
        svg.setFileName(file);
        svg.setSize(QSize(width, height));
        svg.setViewBox(QRect(0, 0, width, height));
        QPainter p;
        if (!p.begin(&svg)) return false;
        p.fillRect(QRectF(0, 0, width, height), Qt::white);
        render(chart, p, QRectF(0, 0, width, height));
        return p.end();
    }
    if (suffix != "png") return false;
    return renderImage(chart, width, height).save(file, "PNG");
}

}  // namespace qo::chart
