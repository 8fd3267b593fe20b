// chart.cpp - the chart model's methods: each takes the model lock, checks its
// arguments and changes the model; nothing here draws.
#include "chart.h"

#include <algorithm>
#include <cmath>

namespace qo::chart {

using Guard = std::lock_guard<std::recursive_mutex>;

namespace {

constexpr int kMaxPlots = 64;
constexpr int kMinPrecision = 4, kMaxPrecision = 1000;

bool finiteRange(double lo, double hi) { return std::isfinite(lo) && std::isfinite(hi) && lo < hi; }

void appendPoints(DataSet& d, const double* x, const double* y, const double* z, int n) {
    d.x.assign(x, x + n);
    d.y.assign(y, y + n);
    if (z) d.z.assign(z, z + n);
}

}  // namespace

CChart::CChart() { Reset(); }

void CChart::Reset() {
    Guard g(mutex_);
    s_ = Settings{};
    plots_.assign(1, Plot{});
    pies_.clear();
    stems_.clear();
    grid_ = FieldGrid{};
    nextId_ = 1;
}

Plot* CChart::plot(int k) { return k >= 0 && k < static_cast<int>(plots_.size()) ? &plots_[k] : nullptr; }

DataSet* CChart::find(int id, int k) {
    Plot* p = plot(k);
    if (!p) return nullptr;
    for (DataSet& d : p->data)
        if (d.id == id) return &d;
    return nullptr;
}

const DataSet* CChart::find(int id, int k) const { return const_cast<CChart*>(this)->find(id, k); }

template <typename F>
bool CChart::withData(int id, int k, F f) {
    Guard g(mutex_);
    DataSet* d = find(id, k);
    if (!d) return false;
    return f(*d);
}

int CChart::AddCurve(int n) {
    Guard g(mutex_);
    if (n < 0) return 0;
    DataSet d;
    d.id = newId();
    d.x.reserve(static_cast<size_t>(std::min(n, 1 << 20)));
    d.y.reserve(d.x.capacity());
    plots_[0].data.push_back(std::move(d));
    return plots_[0].data.back().id;
}

int CChart::AddCurve(const double* x, const double* y, int n, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (!p || !x || !y || n <= 0) return 0;
    DataSet d;
    d.id = newId();
    appendPoints(d, x, y, nullptr, n);
    p->data.push_back(std::move(d));
    return p->data.back().id;
}

int CChart::AddCurve(const double* x, const double* y, const double* z, int n) {
    Guard g(mutex_);
    if (!x || !y || !z || n <= 0) return 0;
    DataSet d;
    d.id = newId();
    appendPoints(d, x, y, z, n);
    plots_[0].data.push_back(std::move(d));
    return plots_[0].data.back().id;
}

int CChart::UpdateCurveByID(int id, const double* x, const double* y, int n, int k) {
    Guard g(mutex_);
    if (!x || !y || n < 0) return 0;
    DataSet* d = find(id, k);
    if (!d) return AddCurve(x, y, n, k);
    appendPoints(*d, x, y, nullptr, n);
    d->z.clear();
    return id;
}

int CChart::AddPoint2D(double x, double y, int id, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (!p) return -1;
    DataSet* d = find(id, k);
    if (!d) {
        DataSet fresh;
        fresh.id = newId();
        p->data.push_back(std::move(fresh));
        d = &p->data.back();
    }
    if (!d->z.empty()) return -1;  // a 3D curve takes AddPoint3D
    d->x.push_back(x);
    d->y.push_back(y);
    return d->id;
}

int CChart::AddPoint3D(double x, double y, double z, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (!p) return -1;
    DataSet* d = nullptr;
    for (auto it = p->data.rbegin(); it != p->data.rend() && !d; ++it)
        if (!it->z.empty() || it->x.empty()) d = &*it;
    if (!d || (d->z.empty() && !d->x.empty())) {
        DataSet fresh;
        fresh.id = newId();
        p->data.push_back(std::move(fresh));
        d = &p->data.back();
    }
    d->x.push_back(x);
    d->y.push_back(y);
    d->z.push_back(z);
    return d->id;
}

int CChart::AddPie(double value) { return AddPie(value, QString()); }

int CChart::AddPie(double value, const QString& title) {
    Guard g(mutex_);
    if (!std::isfinite(value) || value < 0) return -1;
    pies_.push_back({value, title});
    return static_cast<int>(pies_.size()) - 1;
}

int CChart::AddStems(const double* y, int n) { return AddStems(y, n, QString()); }

int CChart::AddStems(const double* y, int n, const QString& title) {
    Guard g(mutex_);
    if (!y || n <= 0) return 0;
    stems_.push_back({newId(), std::vector<double>(y, y + n), title});
    return stems_.back().id;
}

int CChart::GetIndex(int id, int k) const {
    Guard g(mutex_);
    if (k < 0 || k >= static_cast<int>(plots_.size())) return -1;
    const auto& data = plots_[k].data;
    for (size_t i = 0; i < data.size(); ++i)
        if (data[i].id == id) return static_cast<int>(i);
    return -1;
}

int CChart::GetDataID(int index, int k) const {
    Guard g(mutex_);
    if (k < 0 || k >= static_cast<int>(plots_.size())) return -1;
    const auto& data = plots_[k].data;
    return index >= 0 && index < static_cast<int>(data.size()) ? data[index].id : -1;
}

void CChart::ClearAllData() {
    Guard g(mutex_);
    for (Plot& p : plots_) p.data.clear();
    pies_.clear();
    stems_.clear();
}

bool CChart::ClearPlotData(int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (!p) return false;
    p->data.clear();
    if (k == 0) pies_.clear(), stems_.clear();
    return true;
}

bool CChart::ClearSingleData(int id, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (!p) return false;
    auto it = std::find_if(p->data.begin(), p->data.end(), [&](const DataSet& d) { return d.id == id; });
    if (it != p->data.end()) {
        p->data.erase(it);
        return true;
    }
    auto st = std::find_if(stems_.begin(), stems_.end(), [&](const Stems& s) { return s.id == id; });
    if (k != 0 || st == stems_.end()) return false;
    stems_.erase(st);
    return true;
}

int CChart::GetType() const {
    Guard g(mutex_);
    return s_.type;
}

bool CChart::SetType(int type, void*) {
    Guard g(mutex_);
    if (type < 0 || type >= kTypeCount) return false;
    s_.type = type;
    grid_.stale = true;
    return true;
}

int CChart::AddLayer() {
    Guard g(mutex_);
    if (static_cast<int>(plots_.size()) >= kMaxPlots) return -1;
    plots_.emplace_back();
    return static_cast<int>(plots_.size()) - 1;
}

bool CChart::ResizePlots(int n) {
    Guard g(mutex_);
    if (n <= 0 || n > kMaxPlots) return false;
    plots_.resize(static_cast<size_t>(n));
    s_.resizeMode = kGrid;
    s_.resizeA = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n))));
    s_.resizeB = (n + s_.resizeA - 1) / s_.resizeA;
    std::swap(s_.resizeA, s_.resizeB);  // rows first: fewer rows than columns
    return true;
}

bool CChart::ResizePlots(int mode, int a, int b) {
    Guard g(mutex_);
    if (mode < 0 || mode >= kResizeModeCount || a <= 0 || b <= 0 || a > kMaxPlots || b > kMaxPlots) return false;
    int n = 0;
    switch (mode) {
    case kGrid: n = a * b; break;
    case kTwoRows:
    case kTwoColumns: n = a + b; break;
    case kBigTop:
    case kBigLeft: n = 1 + a * b; break;
    case kStacked: n = a; break;
    }
    if (n > kMaxPlots) return false;
    plots_.resize(static_cast<size_t>(n));
    s_.resizeMode = mode;
    s_.resizeA = a;
    s_.resizeB = b;
    return true;
}

int CChart::PlotCount() const {
    Guard g(mutex_);
    return static_cast<int>(plots_.size());
}

bool CChart::SetPlotRange(const double x[2], const double y[2], int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (!p || !finiteRange(x[0], x[1]) || !finiteRange(y[0], y[1])) return false;
    p->fixedX = p->fixedY = true;
    p->x = {x[0], x[1]};
    p->y = {y[0], y[1]};
    grid_.stale = true;
    return true;
}

bool CChart::GetPlotRange(double x[2], double y[2], int k) const {
    Guard g(mutex_);
    if (k < 0 || k >= static_cast<int>(plots_.size())) return false;
    const Plot& p = plots_[k];
    x[0] = p.shownX.lo, x[1] = p.shownX.hi;
    y[0] = p.shownY.lo, y[1] = p.shownY.hi;
    return true;
}

bool CChart::SetXRange(double lo, double hi, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (!p || !finiteRange(lo, hi)) return false;
    p->fixedX = true;
    p->x = {lo, hi};
    grid_.stale = true;
    return true;
}

bool CChart::SetYRange(double lo, double hi, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (!p || !finiteRange(lo, hi)) return false;
    p->fixedY = true;
    p->y = {lo, hi};
    grid_.stale = true;
    return true;
}

bool CChart::SetExactXRange(bool on, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (p) p->exactX = on;
    return p != nullptr;
}

bool CChart::SetExactYRange(bool on, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (p) p->exactY = on;
    return p != nullptr;
}

bool CChart::SetEqualXYAxis(bool on) {
    Guard g(mutex_);
    s_.equalAxis = on;
    return true;
}

bool CChart::SetEqualXYRange(bool on) {
    Guard g(mutex_);
    s_.equalRange = on;
    return true;
}

bool CChart::SetEqualXYScale(bool on) {
    Guard g(mutex_);
    s_.equalScale = on;
    return true;
}

bool CChart::SetAxisTitle(const QString& text, int axis, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (!p || axis < 0 || axis > 1) return false;
    (axis == 0 ? p->yTitle : p->xTitle) = text;
    return true;
}

bool CChart::SetGridLine(bool majorX, bool majorY, bool minorX, bool minorY, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (!p) return false;
    p->gridMajorX = majorX, p->gridMajorY = majorY, p->gridMinorX = minorX, p->gridMinorY = minorY;
    return true;
}

bool CChart::SetTitle(const QString& text, int k) {
    Guard g(mutex_);
    if (k < 0) {
        s_.title = text;
        return true;
    }
    Plot* p = plot(k);
    if (p) p->title = text;
    return p != nullptr;
}

bool CChart::SetDataTitle(const QString& text, int id, int k) {
    Guard g(mutex_);
    if (withData(id, k, [&](DataSet& d) { return d.title = text, true; })) return true;
    for (Stems& s : stems_)
        if (s.id == id && k == 0) return s.title = text, true;
    return false;
}

bool CChart::SetDataColor(int color, int id, int k) {
    return withData(id, k, [&](DataSet& d) {
        d.color = static_cast<uint32_t>(color) & 0xFFFFFFu;
        d.colorSet = true;
        return true;
    });
}

bool CChart::SetDataLineStyle(int style, int id, int k) {
    if (style < 0 || style >= kLineStyleCount) return false;
    return withData(id, k, [&](DataSet& d) { return d.lineStyle = style, true; });
}

bool CChart::SetDataLineSize(int size, int id, int k) {
    if (size < 0 || size > 100) return false;
    return withData(id, k, [&](DataSet& d) { return d.lineSize = size, true; });
}

bool CChart::SetPlotType(int type, int id, int k) {
    if (type < 0 || type >= kPlotTypeCount) return false;
    return withData(id, k, [&](DataSet& d) { return d.plotType = type, true; });
}

bool CChart::SetMarkerType(int type, int id, int k) {
    if (type < 0 || type >= kMarkerCount) return false;
    return withData(id, k, [&](DataSet& d) { return d.markerType = type, true; });
}

bool CChart::SetMarkerSize(int size, int id, int k) {
    if (size <= 0 || size > 200) return false;
    return withData(id, k, [&](DataSet& d) { return d.markerSize = size, true; });
}

bool CChart::SetMarkerFreq(int freq, int id, int k) {
    return withData(id, k, [&](DataSet& d) { return d.markerFreq = freq, true; });
}

bool CChart::SetMarkerShow(bool on, int id, int k) {
    return withData(id, k, [&](DataSet& d) { return d.markerShow = on, true; });
}

bool CChart::SetMarkerFill(bool on, int id, int k) {
    return withData(id, k, [&](DataSet& d) { return d.markerFill = on, true; });
}

bool CChart::SetScatter(int id, int k) {
    return withData(id, k, [&](DataSet& d) {
        d.plotType = kPlotScatter;
        d.markerShow = true;
        return true;
    });
}

bool CChart::SetUseLegend(bool on, int k) {
    Guard g(mutex_);
    Plot* p = plot(k);
    if (p) p->legend = on;
    return p != nullptr;
}

void CChart::SetFieldFcn(FieldFcn f) {
    Guard g(mutex_);
    s_.field = f;
    grid_.stale = true;
}

bool CChart::SetContourLineNum(int n) {
    Guard g(mutex_);
    if (n <= 0 || n > 200) return false;
    s_.contourLines = n;
    return true;
}

bool CChart::SetContourPrecision(int n) {
    Guard g(mutex_);
    if (n < kMinPrecision || n > kMaxPrecision) return false;
    s_.contourPrecision = n;
    grid_.stale = true;
    return true;
}

void CChart::fieldDomain(double* x0, double* x1, double* y0, double* y1) const {
    const Plot& p = plots_[0];
    *x0 = p.fixedX ? p.x.lo : -1.0;
    *x1 = p.fixedX ? p.x.hi : 1.0;
    *y0 = p.fixedY ? p.y.lo : -1.0;
    *y1 = p.fixedY ? p.y.hi : 1.0;
}

bool CChart::FieldNeedsUpdate() const {
    Guard g(mutex_);
    int t = s_.type;
    bool fieldType = t == kTypeContourLine || t == kTypeContourMap || t == kType3DSurface;
    return fieldType && s_.field && grid_.stale;
}

void CChart::UpdateField() {
    FieldFcn f;
    int n;
    double x0, x1, y0, y1;
    {
        Guard g(mutex_);
        if (!FieldNeedsUpdate()) return;
        f = s_.field;
        n = s_.contourPrecision;
        fieldDomain(&x0, &x1, &y0, &y1);
    }
    // Evaluated without the lock: the painter keeps drawing the old grid meanwhile.
    std::vector<double> z(static_cast<size_t>(n) * n);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i)
            z[static_cast<size_t>(j) * n + i] = f(x0 + (x1 - x0) * i / (n - 1), y0 + (y1 - y0) * j / (n - 1));
    Guard g(mutex_);
    grid_.n = n;
    grid_.z = std::move(z);
    grid_.x0 = x0, grid_.x1 = x1, grid_.y0 = y0, grid_.y1 = y1;
    grid_.stale = false;
}

void CChart::SetFieldGrid(int n, const double* values, double x0, double x1, double y0, double y1) {
    Guard g(mutex_);
    if (n < 2 || !values) return;
    grid_.n = n;
    grid_.z.assign(values, values + static_cast<size_t>(n) * n);
    grid_.x0 = x0, grid_.x1 = x1, grid_.y0 = y0, grid_.y1 = y1;
    grid_.stale = false;
}

bool CChart::SetZoomMode(bool on) {
    Guard g(mutex_);
    s_.zoomMode = on;
    return true;
}

bool CChart::SetZoomFactorX(double f) {
    Guard g(mutex_);
    if (!(f > 0) || !std::isfinite(f)) return false;
    s_.zoomX = f;
    return true;
}

bool CChart::SetZoomFactorY(double f) {
    Guard g(mutex_);
    if (!(f > 0) || !std::isfinite(f)) return false;
    s_.zoomY = f;
    return true;
}

bool CChart::SetZoomFactor(double f) {
    Guard g(mutex_);
    if (!(f > 0) || !std::isfinite(f)) return false;
    s_.zoomX = s_.zoomY = f;
    return true;
}

bool CChart::SetZoomCenter(int n) {
    Guard g(mutex_);
    if (n < 0 || n >= kZoomCenterCount) return false;
    s_.zoomCenter = n;
    return true;
}

void CChart::ZoomBy(double factor) {
    Guard g(mutex_);
    if (!s_.zoomMode || !(factor > 0)) return;
    s_.zoomX = std::clamp(s_.zoomX * factor, 1e-6, 1e6);
    s_.zoomY = std::clamp(s_.zoomY * factor, 1e-6, 1e6);
}

bool CChart::ZoomMode() const {
    Guard g(mutex_);
    return s_.zoomMode;
}

void CChart::SetPluginMenu(MenuBuilder builder, MenuHandler handler, void* data) {
    Guard g(mutex_);
    s_.menuBuilder = builder;
    s_.menuHandler = handler;
    s_.menuData = data;
}

std::vector<double> niceTicks(double lo, double hi, int target, double* step) {
    std::vector<double> ticks;
    double width = hi - lo;
    if (!(width > 0) || !std::isfinite(width) || target < 1) {
        *step = 1;
        return ticks;
    }
    double raw = width / target;
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double f = raw / mag;
    double nice = f < 1.5 ? 1 : f < 3 ? 2 : f < 7 ? 5 : 10;
    *step = nice * mag;
    double first = std::ceil(lo / *step - 1e-9) * *step;
    for (int i = 0; i < 1000; ++i) {
        double t = first + i * *step;
        if (t > hi + *step * 1e-9) break;
        ticks.push_back(std::abs(t) < *step * 1e-9 ? 0.0 : t);
    }
    return ticks;
}

Range niceRange(double lo, double hi, int target) {
    if (!(hi > lo)) return {lo, hi};
    double step;
    niceTicks(lo, hi, target, &step);
    return {std::floor(lo / step + 1e-9) * step, std::ceil(hi / step - 1e-9) * step};
}

}  // namespace qo::chart
