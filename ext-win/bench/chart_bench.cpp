// Rendering speed of the chart library: long curves (decimated per pixel
// column) and a filled contour map, into a 1920x1080 image.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cmath>
#include <cstdlib>

#include "chart.h"
#include "render.h"

namespace {

using namespace qo::chart;

void curveChart(CChart& c, int n) {
    std::vector<double> x(static_cast<size_t>(n)), y(x.size());
    for (int i = 0; i < n; ++i) {
        x[static_cast<size_t>(i)] = i * 1e-3;
        y[static_cast<size_t>(i)] = std::sin(i * 1e-3) + 0.1 * std::sin(i * 0.37);
    }
    c.AddCurve(x.data(), y.data(), n);
    c.SetTitle("curve");
}

void renderInto(benchmark::State& state, const CChart& c) {
    QImage img(1920, 1080, QImage::Format_RGB32);
    for (auto _ : state) {
        img.fill(Qt::white);
        QPainter p(&img);
        render(c, p, QRectF(0, 0, 1920, 1080));
        p.end();
        benchmark::DoNotOptimize(img.constBits());
    }
}

void BM_Curve(benchmark::State& state) {
    CChart c;
    curveChart(c, static_cast<int>(state.range(0)));
    renderInto(state, c);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Curve)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond);

void BM_Decimate(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    std::vector<double> x(static_cast<size_t>(n)), y(x.size());
    for (int i = 0; i < n; ++i) x[static_cast<size_t>(i)] = i, y[static_cast<size_t>(i)] = std::sin(i * 1e-3);
    Mapping m = Mapping::between({0, double(n)}, {-1, 1}, QRectF(0, 0, 1800, 1000));
    Polyline line;
    for (auto _ : state) {
        decimate(x.data(), y.data(), x.size(), m, 0, 1800, &line);
        benchmark::DoNotOptimize(line.points.data());
    }
}
BENCHMARK(BM_Decimate)->Arg(10000000)->Unit(benchmark::kMillisecond);

void BM_ContourMap(benchmark::State& state) {
    CChart c;
    c.SetType(kTypeContourMap);
    int n = static_cast<int>(state.range(0));
    std::vector<double> z(static_cast<size_t>(n) * n);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            double x = -3 + 6.0 * i / (n - 1), y = -3 + 6.0 * j / (n - 1);
            z[static_cast<size_t>(j) * n + i] = std::sin(x) * std::cos(y) + 0.2 * x;
        }
    c.SetFieldGrid(n, z.data(), -3, 3, -3, 3);
    renderInto(state, c);
}
BENCHMARK(BM_ContourMap)->Arg(200)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
