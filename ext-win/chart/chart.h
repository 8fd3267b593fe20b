// chart.h - the chart model: data sets, plots (sub-plots or layers), pies, stems,
// 3D points, the field grid of contour and surface charts, and every style and
// range setting. No drawing here: render.h paints a chart onto any QPainter.
//
// Contract
//   - One mutex guards the whole model (lock()). Every public method takes it,
//     so a chart may be changed on one thread (the chart thread) while another
//     one (the GUI thread) paints it. The lock is recursive: a field function
//     that calls back into the chart from UpdateField does not deadlock.
//   - Data identifiers are positive ints, unique within the chart; 0 and -1 are
//     never identifiers (0 is the "nothing added" result, -1 "not found").
//   - `k` is the index of a plot: a sub-plot of the split and shared-x types, a
//     layer of the layered type; plot 0 always exists. Methods given a `k` out
//     of range change nothing and report failure.
//   - Colours are 0x00BBGGRR ints. Line styles, markers and plot types are the
//     enums below; out-of-range values are refused (false) and change nothing.
//   - The field function is called only from UpdateField, on the caller's thread.
#pragma once
#include <QString>
#include <cstdint>
#include <mutex>
#include <vector>

class QMenu;

namespace qo::chart {

enum ChartType {
    kTypeXY, kTypeSplit, kTypeShareX, kTypeLayered, kTypePie, kTypeStem,
    kTypeContourLine, kTypeContourMap, kType3DLine, kType3DSurface, kTypeCount
};
enum LineStyle { kSolid, kDash, kDot, kDashDot, kDashDotDot, kNoLine, kInsideFrame, kLineStyleCount };
enum Marker {
    kMarkerNone, kCircle, kSquare, kDiamond, kRightTriangle, kLeftTriangle, kUpTriangle, kDownTriangle,
    kFork, kCross, kBar, kSmallDot, kMarkerCount
};
enum PlotType { kPlotLine, kPlotScatter, kPlotSteps, kPlotArea, kPlotBars, kPlotTypeCount };
// Layouts of ResizePlots(mode, a, b).
enum ResizeMode { kGrid, kTwoRows, kTwoColumns, kBigTop, kBigLeft, kStacked, kResizeModeCount };
// Where zooming keeps its fixed point.
enum ZoomCenter { kZoomRangeCenter, kZoomOrigin, kZoomLowerLeft, kZoomCenterCount };

using FieldFcn = double (*)(double x, double y);
// Plug-in menu: the builder appends actions (their data() an int command) to
// the context menu; the handler answers -2 (not mine), -3 (done, redraw) or
// anything else (done).
using MenuBuilder = void (*)(QMenu* menu, void* data);
using MenuHandler = int (*)(int command, void* data);

struct DataSet {
    int id = 0;
    QString title;
    std::vector<double> x, y, z;  // z empty for 2D data
    uint32_t color = 0;
    bool colorSet = false;
    int lineStyle = kSolid;
    int lineSize = 1;
    int plotType = kPlotLine;
    bool markerShow = false;
    bool markerFill = false;
    int markerType = kCircle;
    int markerSize = 7;
    int markerFreq = 0;  // 0 every point; n > 0 every n-th; n < 0 |n| markers spread evenly
};

struct Range {
    double lo = 0, hi = 1;
    double width() const { return hi - lo; }
};

struct Plot {
    std::vector<DataSet> data;
    QString title, xTitle, yTitle;
    bool fixedX = false, fixedY = false;
    Range x, y;  // the fixed ranges (when fixed)
    bool exactX = false, exactY = false;
    bool legend = false;
    bool gridMajorX = false, gridMajorY = false, gridMinorX = false, gridMinorY = false;
    Range shownX, shownY;  // what the last painting showed
};

struct Slice {
    double value;
    QString title;
};

struct Stems {
    int id;
    std::vector<double> y;
    QString title;
};

class CChart {
public:
    CChart();
    std::recursive_mutex& lock() const { return mutex_; }

    // Everything back to a new chart (type, plots, data, settings).
    void Reset();

    // Data.
    int AddCurve(int n);
    int AddCurve(const double* x, const double* y, int n, int k = 0);
    int AddCurve(const double* x, const double* y, const double* z, int n);
    int UpdateCurveByID(int id, const double* x, const double* y, int n, int k = 0);
    int AddPoint2D(double x, double y, int id = 0, int k = 0);
    int AddPoint3D(double x, double y, double z, int k = 0);
    int AddPie(double value);
    int AddPie(double value, const QString& title);
    int AddStems(const double* y, int n);
    int AddStems(const double* y, int n, const QString& title);
    int GetIndex(int id, int k = 0) const;
    int GetDataID(int index, int k = 0) const;
    void ClearAllData();
    bool ClearPlotData(int k);
    bool ClearSingleData(int id, int k);

    // Chart type and plots.
    int GetType() const;
    bool SetType(int type, void* window = nullptr);
    int AddLayer();
    bool ResizePlots(int n);
    bool ResizePlots(int mode, int a, int b);
    int PlotCount() const;

    // Ranges and axes.
    bool SetPlotRange(const double x[2], const double y[2], int k = 0);
    bool GetPlotRange(double x[2], double y[2], int k = 0) const;
    bool SetXRange(double lo, double hi, int k = 0);
    bool SetYRange(double lo, double hi, int k = 0);
    bool SetExactXRange(bool on, int k = 0);
    bool SetExactYRange(bool on, int k = 0);
    bool SetEqualXYAxis(bool on);
    bool SetEqualXYRange(bool on);
    bool SetEqualXYScale(bool on);
    bool SetAxisTitle(const QString& text, int axis, int k = 0);  // axis 0 left (y), 1 bottom (x)
    bool SetGridLine(bool majorX, bool majorY, bool minorX, bool minorY, int k = 0);

    // Titles and styles.
    bool SetTitle(const QString& text, int k = -1);  // -1: the chart's own title
    bool SetDataTitle(const QString& text, int id, int k = 0);
    bool SetDataColor(int color, int id, int k = 0);
    bool SetDataLineStyle(int style, int id, int k = 0);
    bool SetDataLineSize(int size, int id, int k = 0);
    bool SetPlotType(int type, int id, int k = 0);
    bool SetMarkerType(int type, int id, int k = 0);
    bool SetMarkerSize(int size, int id, int k = 0);
    bool SetMarkerFreq(int freq, int id, int k = 0);
    bool SetMarkerShow(bool on, int id, int k = 0);
    bool SetMarkerFill(bool on, int id, int k = 0);
    bool SetScatter(int id, int k = 0);
    bool SetUseLegend(bool on, int k = 0);

    // Contours and surfaces.
    void SetFieldFcn(FieldFcn f);
    bool SetContourLineNum(int n);
    bool SetContourPrecision(int n);
    bool FieldNeedsUpdate() const;
    // Evaluates the field function on the grid when the grid is stale.
    void UpdateField();
    // Sets the grid directly (tests and callers that have the values): n x n
    // values, row by row from y lo, over [x0, x1] x [y0, y1].
    void SetFieldGrid(int n, const double* values, double x0, double x1, double y0, double y1);

    // Zoom.
    bool SetZoomMode(bool on);
    bool SetZoomFactorX(double f);
    bool SetZoomFactorY(double f);
    bool SetZoomFactor(double f);
    bool SetZoomCenter(int n);
    void ZoomBy(double factor);  // wheel zoom (zoom mode only)
    bool ZoomMode() const;

    // Plug-in menu.
    void SetPluginMenu(MenuBuilder builder, MenuHandler handler, void* data);

    // Read access for the renderer and the window: call with lock() held.
    struct Settings {
        int type = kTypeXY;
        QString title;
        bool equalAxis = false, equalRange = false, equalScale = false;
        int resizeMode = kGrid, resizeA = 1, resizeB = 1;
        bool zoomMode = false;
        double zoomX = 1, zoomY = 1;
        int zoomCenter = kZoomRangeCenter;
        int contourLines = 10, contourPrecision = 60;
        FieldFcn field = nullptr;
        MenuBuilder menuBuilder = nullptr;
        MenuHandler menuHandler = nullptr;
        void* menuData = nullptr;
    };
    const Settings& settings() const { return s_; }
    std::vector<Plot>& plots() { return plots_; }
    const std::vector<Plot>& plots() const { return plots_; }
    const std::vector<Slice>& pies() const { return pies_; }
    const std::vector<Stems>& stems() const { return stems_; }
    struct FieldGrid {
        int n = 0;
        std::vector<double> z;  // n * n, row-major from y lo
        double x0 = -1, x1 = 1, y0 = -1, y1 = 1;
        bool stale = true;
    };
    const FieldGrid& field() const { return grid_; }

private:
    DataSet* find(int id, int k);
    const DataSet* find(int id, int k) const;
    Plot* plot(int k);
    template <typename F>
    bool withData(int id, int k, F f);
    int newId() { return nextId_++; }
    void fieldDomain(double* x0, double* x1, double* y0, double* y1) const;

    mutable std::recursive_mutex mutex_;
    Settings s_;
    std::vector<Plot> plots_;
    std::vector<Slice> pies_;
    std::vector<Stems> stems_;
    FieldGrid grid_;
    int nextId_ = 1;
};

// "Nice" tick positions for [lo, hi] with about `target` steps: 1, 2 or 5
// times a power of ten. Sets *step; returns the ticks inside the range.
std::vector<double> niceTicks(double lo, double hi, int target, double* step);
// The range widened outwards to multiples of the nice step.
Range niceRange(double lo, double hi, int target);

}  // namespace qo::chart
