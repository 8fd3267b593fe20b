// Tests of the chart library: the model's bookkeeping, nice ticks, decimation,
// marching squares, and the rendered gallery against the reference images of
// docs/images/charts (QO_UPDATE_IMAGES=1 rewrites them).
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <QContextMenuEvent>
#include <cmath>
#include <random>

#include "chart_wnd.h"
#include "gallery.h"
#include "render.h"
#include "test_env.h"

using namespace qo::chart;

namespace {

TEST(ChartModel, IdentifiersIndicesAndPlots) {
    CChart c;
    double x[] = {0, 1, 2}, y[] = {1, 2, 3};
    int a = c.AddCurve(x, y, 3), b = c.AddCurve(x, y, 3);
    EXPECT_GT(a, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(c.GetIndex(b), 1);
    EXPECT_EQ(c.GetDataID(0), a);
    EXPECT_EQ(c.GetIndex(b, 1), -1);      // no plot 1 yet
    EXPECT_EQ(c.AddCurve(x, y, 3, 1), 0);  // refused
    EXPECT_EQ(c.AddLayer(), 1);
    EXPECT_GT(c.AddCurve(x, y, 3, 1), 0);
    EXPECT_EQ(c.AddCurve(x, y, 0), 0);
    EXPECT_TRUE(c.ClearSingleData(a, 0));
    EXPECT_EQ(c.GetIndex(b), 0);
    EXPECT_FALSE(c.ClearSingleData(a, 0));
    EXPECT_TRUE(c.ClearPlotData(1));
    EXPECT_FALSE(c.ClearPlotData(7));
}

TEST(ChartModel, StylesRefuseValuesOutsideTheirLists) {
    CChart c;
    int id = c.AddCurve(0);
    EXPECT_TRUE(c.SetDataLineStyle(kDashDot, id));
    EXPECT_FALSE(c.SetDataLineStyle(7, id));
    EXPECT_TRUE(c.SetMarkerType(kSmallDot, id));
    EXPECT_FALSE(c.SetMarkerType(12, id));
    EXPECT_FALSE(c.SetPlotType(-1, id));
    EXPECT_FALSE(c.SetDataColor(255, id + 1));
    EXPECT_FALSE(c.SetType(10));
    EXPECT_FALSE(c.SetXRange(2, 1));
    EXPECT_FALSE(c.SetXRange(0, NAN));
    EXPECT_FALSE(c.ResizePlots(6, 1, 1));
    EXPECT_TRUE(c.ResizePlots(kBigTop, 2, 3));
    EXPECT_EQ(c.PlotCount(), 7);
    EXPECT_FALSE(c.SetZoomFactor(0));
}

TEST(ChartModel, PointsGrowCurves) {
    CChart c;
    int id = c.AddPoint2D(1, 2);
    EXPECT_GT(id, 0);
    EXPECT_EQ(c.AddPoint2D(3, 4, id), id);
    EXPECT_EQ(c.AddPoint2D(3, 4, id, 5), -1);
    int d3 = c.AddPoint3D(1, 2, 3);
    EXPECT_NE(d3, id);
    EXPECT_EQ(c.AddPoint3D(4, 5, 6), d3);
    std::lock_guard<std::recursive_mutex> g(c.lock());
    EXPECT_EQ(c.plots()[0].data[0].x.size(), 2u);
    EXPECT_EQ(c.plots()[0].data[1].z.size(), 2u);
}

TEST(ChartTicks, NiceNumbers) {
    double step;
    std::vector<double> t = niceTicks(0, 1, 5, &step);
    EXPECT_DOUBLE_EQ(step, 0.2);
    ASSERT_EQ(t.size(), 6u);
    EXPECT_DOUBLE_EQ(t.back(), 1.0);
    t = niceTicks(-3.7, 12.2, 6, &step);
    EXPECT_DOUBLE_EQ(step, 2);
    EXPECT_DOUBLE_EQ(t.front(), -2);
    Range r = niceRange(0.13, 0.87, 6);
    EXPECT_NEAR(r.lo, 0.1, 1e-12);
    EXPECT_NEAR(r.hi, 0.9, 1e-12);
    EXPECT_TRUE(niceTicks(1, 1, 5, &step).empty());
}

TEST(ChartDecimation, KeepsEveryColumnsExtremes) {
    const size_t n = 200000;
    std::vector<double> x(n), y(n);
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 1);
    for (size_t i = 0; i < n; ++i) x[i] = static_cast<double>(i) / n * 100, y[i] = std::sin(x[i]) + noise(rng);
    y[12345] = 40, y[54321] = -40;  // single-sample spikes
    Mapping m = Mapping::between({0, 100}, {-50, 50}, QRectF(0, 0, 100, 100));
    Polyline line;
    decimate(x.data(), y.data(), n, m, 0, 100, &line);
    EXPECT_LE(line.points.size(), 4u * 102);
    ASSERT_EQ(line.starts.size(), 1u);
    // Per column, the extremes of the full data appear among the kept points.
    std::vector<double> lo(102, INFINITY), hi(102, -INFINITY), klo(102, INFINITY), khi(102, -INFINITY);
    for (size_t i = 0; i < n; ++i) {
        int c = static_cast<int>(std::floor(m.toX(x[i])));
        lo[c] = std::min(lo[c], m.toY(y[i])), hi[c] = std::max(hi[c], m.toY(y[i]));
    }
    for (const QPointF& p : line.points) {
        int c = static_cast<int>(std::floor(p.x()));
        klo[c] = std::min(klo[c], p.y()), khi[c] = std::max(khi[c], p.y());
    }
    for (int c = 0; c < 100; ++c) {
        EXPECT_EQ(lo[c], klo[c]) << c;
        EXPECT_EQ(hi[c], khi[c]) << c;
    }
}

TEST(ChartDecimation, NonFinitePointsBreakTheLine) {
    double x[] = {0, 1, 2, 3, 4}, y[] = {0, 1, NAN, 3, 4};
    Mapping m = Mapping::between({0, 4}, {0, 4}, QRectF(0, 0, 400, 400));
    Polyline line;
    decimate(x, y, 5, m, 0, 400, &line);
    ASSERT_EQ(line.starts.size(), 2u);
    EXPECT_EQ(line.points.size(), 4u);
    EXPECT_EQ(line.starts[1], 2);
}

TEST(ChartContour, SegmentsLieOnTheLevel) {
    CChart::FieldGrid g;
    g.n = 101;
    for (int j = 0; j < g.n; ++j)
        for (int i = 0; i < g.n; ++i) {
            double x = -1 + 2.0 * i / 100, y = -1 + 2.0 * j / 100;
            g.z.push_back(x * x + y * y);
        }
    std::vector<QPointF> seg = contourSegments(g, 0.5);
    ASSERT_GT(seg.size(), 100u);
    EXPECT_EQ(seg.size() % 2, 0u);
    for (const QPointF& p : seg) EXPECT_NEAR(std::hypot(p.x(), p.y()), std::sqrt(0.5), 2e-3);
    EXPECT_TRUE(contourSegments(g, 5).empty());
    std::vector<double> levels = contourLevels(0, 11, 10);
    ASSERT_EQ(levels.size(), 10u);
    EXPECT_DOUBLE_EQ(levels[0], 1);
}

TEST(ChartContour, FieldFunctionFillsTheGridOverTheRange) {
    CChart c;
    c.SetType(kTypeContourMap);
    c.SetContourPrecision(5);
    double xr[] = {0, 4}, yr[] = {0, 8};
    c.SetPlotRange(xr, yr);
    EXPECT_FALSE(c.FieldNeedsUpdate());  // no field function yet
    c.SetFieldFcn([](double x, double y) { return x + 10 * y; });
    EXPECT_TRUE(c.FieldNeedsUpdate());
    c.UpdateField();
    EXPECT_FALSE(c.FieldNeedsUpdate());
    std::lock_guard<std::recursive_mutex> g(c.lock());
    ASSERT_EQ(c.field().z.size(), 25u);
    EXPECT_DOUBLE_EQ(c.field().z[6], 1 + 10 * 2);  // x = 1, y = 2
}

// Share of pixels that differ by more than `tolerance` in any channel.
double differingShare(const QImage& a, const QImage& b, int tolerance) {
    if (a.size() != b.size()) return 1;
    QImage x = a.convertToFormat(QImage::Format_RGB32), y = b.convertToFormat(QImage::Format_RGB32);
    long differing = 0;
    for (int j = 0; j < x.height(); ++j) {
        auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(j));
        auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(j));
        for (int i = 0; i < x.width(); ++i) {
            int d = std::max({std::abs(qRed(p[i]) - qRed(q[i])), std::abs(qGreen(p[i]) - qGreen(q[i])),
                              std::abs(qBlue(p[i]) - qBlue(q[i]))});
            if (d > tolerance) ++differing;
        }
    }
    return static_cast<double>(differing) / (x.width() * x.height());
}

TEST(ChartGallery, MatchesTheReferenceImages) {
    bool update = qEnvironmentVariableIsSet("QO_UPDATE_IMAGES");
    QDir().mkpath(QO_IMAGE_DIR);
    for (const qo::testing::GalleryItem& item : qo::testing::gallery()) {
        CChart c;
        item.build(c);
        QImage img = renderImage(c, item.width, item.height);
        QString file = QString(QO_IMAGE_DIR) + "/" + item.name + ".png";
        if (update) {
            ASSERT_TRUE(img.save(file, "PNG")) << item.name;
            continue;
        }
        QImage ref(file);
        ASSERT_FALSE(ref.isNull()) << "missing reference " << file.toStdString();
        EXPECT_LT(differingShare(img, ref, 40), 0.01) << item.name;
    }
}

TEST(ChartGallery, DifferentChartsDiffer) {
    const auto& g = qo::testing::gallery();
    CChart a, b;
    g[0].build(a), g[1].build(b);
    EXPECT_GT(differingShare(renderImage(a, 480, 320), renderImage(b, 480, 320), 40), 0.02);
}

TEST(ChartSave, PngSvgAndRefusals) {
    CChart c;
    qo::testing::gallery()[0].build(c);
    QString dir = QDir::tempPath() + "/qo_chart_save";
    QDir().mkpath(dir);
    ASSERT_TRUE(saveChart(c, dir + "/a.png", 300, 200));
    EXPECT_EQ(QImage(dir + "/a.png").size(), QSize(300, 200));
    ASSERT_TRUE(saveChart(c, dir + "/a.SVG", 300, 200));
    QFile svg(dir + "/a.SVG");
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    EXPECT_TRUE(svg.readAll().contains("<svg"));
    EXPECT_FALSE(saveChart(c, dir + "/a.bmp", 300, 200));
    EXPECT_FALSE(saveChart(c, dir + "/b.png", 0, 200));
    EXPECT_FALSE(saveChart(c, "/nonexistent-dir/x.png", 30, 20));
}

TEST(ChartCanvas, ShowsTheAttachedChartAndZoomsWithTheWheel) {
    CChartWnd wnd;
    {
        ChartCanvas canvas(&wnd);
        canvas.resize(400, 300);
        double x[] = {0, 10}, y[] = {0, 10};
        wnd.GetChart()->AddCurve(x, y, 2);
        EXPECT_FALSE(wnd.Attach(&canvas, 11));
        ASSERT_TRUE(wnd.Attach(&canvas, kTypeXY));
        QImage shot = canvas.grab().toImage();
        QImage blank(shot.size(), QImage::Format_RGB32);
        blank.fill(Qt::white);
        EXPECT_GT(differingShare(shot, blank, 10), 0.01);
        double xr[2], yr[2];
        wnd.GetChart()->GetPlotRange(xr, yr);
        EXPECT_DOUBLE_EQ(xr[1], 10);
        QWheelEvent wheel(QPointF(200, 150), QPointF(200, 150), QPoint(), QPoint(0, 120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&canvas, &wheel);
        EXPECT_DOUBLE_EQ(wnd.GetChart()->settings().zoomX, 1);  // zoom mode off
        wnd.GetChart()->SetZoomMode(true);
        QApplication::sendEvent(&canvas, &wheel);
        EXPECT_DOUBLE_EQ(wnd.GetChart()->settings().zoomX, 1.25);
        canvas.grab();
        wnd.GetChart()->GetPlotRange(xr, yr);
        EXPECT_NEAR(xr[1] - xr[0], 10 / 1.25, 1e-9);
        wnd.RequestRepaint();
    }
    EXPECT_EQ(wnd.canvas(), nullptr);  // the canvas detached itself
    wnd.RequestRepaint();              // and nothing is posted to it
}

int g_command = 0;

TEST(ChartCanvas, PluginMenuItemsReachTheHandler) {
    CChartWnd wnd;
    ChartCanvas canvas(&wnd);
    canvas.resize(300, 200);
    ASSERT_TRUE(wnd.Attach(&canvas, kTypeXY));
    wnd.GetChart()->SetPluginMenu(
        [](QMenu* menu, void*) { menu->addAction(QStringLiteral("按新设定的坐标轴重绘"))->setData(40000); },
        [](int command, void*) { return g_command = command, -3; }, nullptr);
    QTimer::singleShot(0, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(menu->actions().size(), 2);  // "还原缩放" and the plug-in's item
        menu->setActiveAction(menu->actions().last());
        QTest::keyClick(menu, Qt::Key_Return);
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), canvas.mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(&canvas, &event);
    EXPECT_EQ(g_command, 40000);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qo::testing::prepareQtEnvironment();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
