#include "gallery.h"

#include <cmath>

namespace qo::testing {
namespace {

using namespace qo::chart;

std::vector<double> seq(int n, double a, double b) {
    std::vector<double> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = a + (b - a) * i / (n - 1);
    return v;
}

template <typename F>
int curve(CChart& c, int n, double a, double b, F f, int k = 0) {
    std::vector<double> x = seq(n, a, b), y(x.size());
    for (size_t i = 0; i < x.size(); ++i) y[i] = f(x[i]);
    return c.AddCurve(x.data(), y.data(), n, k);
}

double peaks(double x, double y) {
    return 3 * (1 - x) * (1 - x) * std::exp(-x * x - (y + 1) * (y + 1)) -
           10 * (x / 5 - x * x * x - std::pow(y, 5)) * std::exp(-x * x - y * y) -
           std::exp(-(x + 1) * (x + 1) - y * y) / 3;
}

void fieldGrid(CChart& c, int n, double r, double (*f)(double, double)) {
    std::vector<double> z(static_cast<size_t>(n) * n);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) z[static_cast<size_t>(j) * n + i] = f(-r + 2 * r * i / (n - 1), -r + 2 * r * j / (n - 1));
    c.SetFieldGrid(n, z.data(), -r, r, -r, r);
}

void xy(CChart& c) {
    c.SetTitle(QStringLiteral("正弦与余弦"));
    int s = curve(c, 200, 0, 2 * M_PI, [](double x) { return std::sin(x); });
    int k = curve(c, 200, 0, 2 * M_PI, [](double x) { return std::cos(x); });
    c.SetDataTitle("sin x", s), c.SetDataTitle("cos x", k);
    c.SetDataColor(0x0000FF, k);
    c.SetUseLegend(true);
    c.SetGridLine(true, true, false, false);
    c.SetAxisTitle("x", 1), c.SetAxisTitle("y", 0);
}

void split(CChart& c) {
    c.SetType(kTypeSplit);
    c.ResizePlots(4);
    for (int k = 0; k < 4; ++k) {
        curve(c, 100, 0, 4, [k](double x) { return std::sin(x * (k + 1)); }, k);
        c.SetTitle(QStringLiteral("图 %1").arg(k + 1), k);
    }
}

void sharex(CChart& c) {
    c.SetType(kTypeShareX);
    c.ResizePlots(3);
    for (int k = 0; k < 3; ++k) curve(c, 300, 0, 10, [k](double x) { return std::pow(x, k) * std::cos(x); }, k);
}

void layered(CChart& c) {
    c.SetType(kTypeLayered);
    c.AddLayer();
    curve(c, 100, 0, 10, [](double x) { return std::sin(x); });
    curve(c, 100, 0, 10, [](double x) { return 1000 * std::exp(-x / 3); }, 1);
}

void pie(CChart& c) {
    c.SetType(kTypePie);
    c.AddPie(35, QStringLiteral("北京")), c.AddPie(25, QStringLiteral("上海"));
    c.AddPie(20, QStringLiteral("广州")), c.AddPie(12), c.AddPie(8, QStringLiteral("其他"));
}

void stem(CChart& c) {
    c.SetType(kTypeStem);
    std::vector<double> a, b;
    for (int i = 1; i <= 12; ++i) a.push_back(std::sin(i / 2.0) * 3), b.push_back(std::cos(i / 3.0) * 2);
    int s = c.AddStems(a.data(), 12, "a"), t = c.AddStems(b.data(), 12, "b");
    (void)s, (void)t;
    c.SetUseLegend(true);
}

void contourLine(CChart& c) {
    c.SetType(kTypeContourLine);
    c.SetContourLineNum(12);
    fieldGrid(c, 80, 3, peaks);
}

void contourMap(CChart& c) {
    c.SetType(kTypeContourMap);
    c.SetContourLineNum(10);
    fieldGrid(c, 80, 3, peaks);
}

void line3d(CChart& c) {
    c.SetType(kType3DLine);
    std::vector<double> x, y, z;
    for (int i = 0; i < 400; ++i) {
        double t = i / 20.0;
        x.push_back(std::cos(t)), y.push_back(std::sin(t)), z.push_back(t);
    }
    c.AddCurve(x.data(), y.data(), z.data(), 400);
}

void surface(CChart& c) {
    c.SetType(kType3DSurface);
    fieldGrid(c, 40, 3, peaks);
}

void lineStyles(CChart& c) {
    for (int s = 0; s < kLineStyleCount; ++s) {
        int id = curve(c, 50, 0, 10, [s](double x) { return s + 0.3 * std::sin(x); });
        c.SetDataLineStyle(s, id), c.SetDataLineSize(2, id);
        static const char* names[] = {"Vsolid", "Vdash", "Vdot", "Vdashdot", "Vdashdotdot", "Vnull", "Vinsideframe"};
        c.SetDataTitle(names[s], id);
    }
    c.SetUseLegend(true);
    c.SetXRange(0, 16);
}

void markers(CChart& c) {
    static const char* names[] = {"Vnone", "Vcircle", "Vsquare", "Vdiamond", "Vrpt", "Vlpt",
                                  "Vupt",  "Vdpt",    "Vfork",   "Vcross",   "Vbar", "Vsdot"};
    for (int m = 0; m < kMarkerCount; ++m) {
        int id = curve(c, 11, 0, 10, [m](double) { return 11 - m; });
        c.SetMarkerShow(true, id), c.SetMarkerType(m, id), c.SetMarkerSize(9, id);
        c.SetMarkerFill(m % 2 == 0, id);
        c.SetDataTitle(names[m], id);
    }
    c.SetUseLegend(true);
    c.SetXRange(0, 16);
}

void plotTypes(CChart& c) {
    static const char* names[] = {"0 line", "1 scatter", "2 steps", "3 area", "4 bars"};
    c.SetType(kTypeSplit);
    c.ResizePlots(kPlotTypeCount);
    for (int t = 0; t < kPlotTypeCount; ++t) {
        int id = curve(c, 12, 0, 11, [](double x) { return 1 + std::sin(x / 2); }, t);
        c.SetPlotType(t, id, t);
        c.SetTitle(names[t], t);
    }
}

void markerFreq(CChart& c) {
    int a = curve(c, 200, 0, 10, [](double x) { return std::sin(x); });
    c.SetMarkerShow(true, a), c.SetMarkerFreq(20, a), c.SetDataTitle("freq 20", a);
    int b = curve(c, 200, 0, 10, [](double x) { return std::cos(x); });
    c.SetMarkerShow(true, b), c.SetMarkerFreq(-5, b), c.SetMarkerType(kSquare, b), c.SetMarkerFill(true, b);
    c.SetDataTitle("freq -5", b);
    c.SetUseLegend(true);
}

void resizeMode(CChart& c, int mode) {
    c.SetType(kTypeSplit);
    c.ResizePlots(mode, 2, 2);
    for (int k = 0; k < c.PlotCount(); ++k) {
        curve(c, 40, 0, 6, [k](double x) { return std::sin(x + k); }, k);
        c.SetTitle(QString::number(k), k);
    }
}

void axisEqual(CChart& c) {
    std::vector<double> x, y;
    for (int i = 0; i <= 100; ++i) x.push_back(2 * std::cos(i * M_PI / 50)), y.push_back(std::sin(i * M_PI / 50));
    c.AddCurve(x.data(), y.data(), 101);
    c.SetEqualXYScale(true);
    c.SetGridLine(true, true, true, true);
}

void axisSquare(CChart& c) {
    curve(c, 100, -1, 1, [](double x) { return x * x * x; });
    c.SetEqualXYAxis(true);
}

}  // namespace

const std::vector<GalleryItem>& gallery() {
    static const std::vector<GalleryItem> items = {
        {"type_xy", xy, 480, 320},
        {"type_split", split, 480, 320},
        {"type_sharex", sharex, 480, 360},
        {"type_layered", layered, 480, 320},
        {"type_pie", pie, 480, 300},
        {"type_stem", stem, 480, 320},
        {"type_contour_line", contourLine, 420, 360},
        {"type_contour_map", contourMap, 420, 360},
        {"type_3d_line", line3d, 420, 360},
        {"type_3d_surface", surface, 420, 360},
        {"line_styles", lineStyles, 480, 320},
        {"markers", markers, 480, 360},
        {"plot_types", plotTypes, 600, 360},
        {"marker_freq", markerFreq, 480, 320},
        {"resize_0_grid", [](CChart& c) { resizeMode(c, 0); }, 400, 300},
        {"resize_1_two_rows", [](CChart& c) { resizeMode(c, 1); }, 400, 300},
        {"resize_2_two_columns", [](CChart& c) { resizeMode(c, 2); }, 400, 300},
        {"resize_3_big_top", [](CChart& c) { resizeMode(c, 3); }, 400, 300},
        {"resize_4_big_left", [](CChart& c) { resizeMode(c, 4); }, 400, 300},
        {"resize_5_stacked", [](CChart& c) { resizeMode(c, 5); }, 400, 300},
        {"axis_equal_scale", axisEqual, 480, 320},
        {"axis_square", axisSquare, 480, 320},
    };
    return items;
}

}  // namespace qo::testing
