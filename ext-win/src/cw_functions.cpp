// cw_functions.cpp - the cw functions: argument checks, then the chart call.
// Off the chart thread each one answers its default result and does nothing;
// the argument checks that raise run errors come after that test.
#include <cmath>

#include "win.h"

namespace qo::win {
namespace {

using chart::CChart;

CChart* theChart() { return chartObject().GetChart(); }

// The argument list of one call.
struct Args {
    int count;
    QoValue* v;
    CallInfo* caller;

    bool has(int i) const { return i < count; }
    // An optional int at i: absent gives `fallback`; present must be an int.
    bool optInt(int i, int fallback, int* out) const {
        if (!has(i)) return *out = fallback, true;
        if (!isInt(v[i])) return false;
        *out = static_cast<int>(v[i].i);
        return true;
    }
    bool intAt(int i, int* out) const { return has(i) && isInt(v[i]) && (*out = static_cast<int>(v[i].i), true); }
    bool realAt(int i, double* out) const { return has(i) && isReal(v[i]) && (*out = v[i].r, true); }
    bool logicalAt(int i, bool* out) const { return has(i) && isLogical(v[i]) && (*out = v[i].i != 0, true); }
    bool textAt(int i, QString* out) const {
        std::u16string s;
        if (!has(i) || !textOf(v[i], caller, &s)) return false;
        *out = QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
        return true;
    }
    bool functionAt(int i, QoHandle* out) const {
        if (!has(i) || v[i].type != QO_FUNCTION) return false;
        QoHandle h = v[i].h;
        if (!engine.GetFor(nullptr, 0, nullptr, nullptr, &h, nullptr, nullptr)) return false;
        *out = v[i].h;
        return true;
    }
    // The element buffer of a one-dimensional reals object with at least n elements.
    const double* realsAt(int i, int n) const {
        if (!has(i) || v[i].type != QO_REALS) return nullptr;
        QoHandle h = v[i].h;
        auto* a = static_cast<QoArray*>(engine.SearchKey(&h, 4, QO_REALS));
        if (!a || a->ndims > 1 || a->count < n) return nullptr;
        return static_cast<const double*>(a->data);
    }
};

Args argsOf(int lastArg, QoValue* args, CallInfo* caller) { return {lastArg + 1, args, caller}; }

QoValue* logical(QoValue* r, bool b) { return put(r, logicalValue(b)); }
QoValue* integer(QoValue* r, int64_t i) { return put(r, intValue(i)); }

// Functions of the form (value, id [, k]) with an int value.
template <bool (CChart::*Set)(int, int, int)>
QoValue* dataInt(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    int value, id, k;
    if (!onChartThread() || a.count > 3 || !a.intAt(0, &value) || !a.intAt(1, &id) || !a.optInt(2, 0, &k))
        return logical(r, false);
    return logical(r, (theChart()->*Set)(value, id, k));
}

// (on, id [, k]) with a logical.
template <bool (CChart::*Set)(bool, int, int)>
QoValue* dataFlag(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    bool on;
    int id, k;
    if (!onChartThread() || a.count > 3 || !a.logicalAt(0, &on) || !a.intAt(1, &id) || !a.optInt(2, 0, &k))
        return logical(r, false);
    return logical(r, (theChart()->*Set)(on, id, k));
}

// (on [, k]) with a logical.
template <bool (CChart::*Set)(bool, int)>
QoValue* plotFlag(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    bool on;
    int k;
    if (!onChartThread() || a.count > 2 || !a.logicalAt(0, &on) || !a.optInt(1, 0, &k)) return logical(r, false);
    return logical(r, (theChart()->*Set)(on, k));
}

// (min, max [, k]) with reals.
template <bool (CChart::*Set)(double, double, int)>
QoValue* range(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    double lo, hi;
    int k;
    if (!onChartThread() || a.count > 3 || !a.realAt(0, &lo) || !a.realAt(1, &hi) || !a.optInt(2, 0, &k))
        return logical(r, false);
    return logical(r, (theChart()->*Set)(lo, hi, k));
}

template <bool (CChart::*Set)(bool)>
QoValue* chartFlag(QoValue* r, int, QoValue* args, CallInfo*) {
    bool on;
    if (!onChartThread() || !isLogical(args[0])) return logical(r, false);
    on = args[0].i != 0;
    return logical(r, (theChart()->*Set)(on));
}

template <bool (CChart::*Set)(int)>
QoValue* chartInt(QoValue* r, int, QoValue* args, CallInfo*) {
    if (!onChartThread() || !isInt(args[0])) return logical(r, false);
    return logical(r, (theChart()->*Set)(static_cast<int>(args[0].i)));
}

template <bool (CChart::*Set)(double)>
QoValue* chartReal(QoValue* r, int, QoValue* args, CallInfo*) {
    if (!onChartThread() || !isReal(args[0])) return logical(r, false);
    return logical(r, (theChart()->*Set)(args[0].r));
}

// (id [, k]) and (index [, k]) lookups.
template <int (CChart::*Get)(int, int) const>
QoValue* lookupFn(QoValue* r, int lastArg, QoValue* args, CallInfo* caller, const char16_t* name) {
    Args a = argsOf(lastArg, args, caller);
    put(r, intValue(-1));
    if (!onChartThread()) return r;
    if (a.count > 2) return fail(r, name, 1, caller);
    int x, k;
    if (!a.intAt(0, &x) || !a.optInt(1, 0, &k)) return fail(r, name, 2, caller);
    return integer(r, (theChart()->*Get)(x, k));
}

}  // namespace

QoValue* cwResetChart(QoValue* r, int, QoValue*, CallInfo*) {
    if (onChartThread()) chartObject().ResetChart();
    return put(r, nilValue());
}

QoValue* cwAttach(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    logical(r, false);
    if (!onChartThread()) return r;
    if (a.count != 0 && a.count != 1 && a.count != 5) return fail(r, u"win::cwAttach", 1, caller);
    int type = 0;
    if (a.count > 0 && (!a.intAt(0, &type) || type < 0 || type > 9)) return fail(r, u"win::cwAttach", 2, caller);
    if (a.count < 5) return logical(r, attachChart(type, nullptr));
    int rect[4];
    for (int i = 0; i < 4; ++i)
        if (!a.intAt(i + 1, &rect[i])) return fail(r, u"win::cwAttach", 3, caller);
    return logical(r, attachChart(type, rect));
}

QoValue* cwAddCurve(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    const char16_t* name = u"win::cwAddCurve";
    Args a = argsOf(lastArg, args, caller);
    integer(r, 0);
    if (!onChartThread()) return r;
    if (a.count > 4 || a.count == 2) return fail(r, name, 1, caller);
    int n = 0;
    if (a.count == 0) return integer(r, theChart()->AddCurve(0));
    if (a.count == 1) {
        if (!a.intAt(0, &n) || n < 0) return fail(r, name, 2, caller);
        return integer(r, theChart()->AddCurve(n));
    }
    bool threeD = a.count == 4 && args[2].type == QO_REALS;
    int nAt = threeD ? 3 : 2;
    if (!a.intAt(nAt, &n) || n <= 0) return fail(r, name, 2, caller);
    const double* x = a.realsAt(0, n);
    const double* y = a.realsAt(1, n);
    if (!x || !y) return fail(r, name, 2, caller);
    if (threeD) {
        const double* z = a.realsAt(2, n);
        if (!z) return fail(r, name, 2, caller);
        return integer(r, theChart()->AddCurve(x, y, z, n));
    }
    int k = 0;
    if (!a.optInt(3, 0, &k)) return fail(r, name, 2, caller);
    return integer(r, theChart()->AddCurve(x, y, n, k));
}

QoValue* cwGetIndex(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    return lookupFn<&CChart::GetIndex>(r, lastArg, args, caller, u"win::cwGetIndex");
}

QoValue* cwGetDataID(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    return lookupFn<&CChart::GetDataID>(r, lastArg, args, caller, u"win::cwGetDataID");
}

QoValue* cwAddPie(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    const char16_t* name = u"win::cwAddPie";
    Args a = argsOf(lastArg, args, caller);
    integer(r, -1);
    if (!onChartThread()) return r;
    if (a.count < 1 || a.count > 2) return fail(r, name, 1, caller);
    double value;
    QString title;
    if (!a.realAt(0, &value) || (a.count == 2 && !a.textAt(1, &title))) return fail(r, name, 2, caller);
    return integer(r, a.count == 2 ? theChart()->AddPie(value, title) : theChart()->AddPie(value));
}

QoValue* cwAddStems(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    const char16_t* name = u"win::cwAddStems";
    Args a = argsOf(lastArg, args, caller);
    integer(r, 0);
    if (!onChartThread()) return r;
    if (a.count < 2 || a.count > 3) return fail(r, name, 1, caller);
    int n;
    QString title;
    if (!a.intAt(1, &n) || n <= 0) return fail(r, name, 2, caller);
    const double* y = a.realsAt(0, n);
    if (!y || (a.count == 3 && !a.textAt(2, &title))) return fail(r, name, 2, caller);
    return integer(r, a.count == 3 ? theChart()->AddStems(y, n, title) : theChart()->AddStems(y, n));
}

QoValue* cwSetFieldFcn(QoValue* r, int, QoValue* args, CallInfo* caller) {
    put(r, nilValue());
    if (!onChartThread()) return r;
    QoHandle h = args[0].h;
    int maxParam = -1;
    if (args[0].type != QO_FUNCTION || !engine.GetFor(nullptr, 0, nullptr, nullptr, &h, nullptr, &maxParam))
        return fail(r, u"win::cwSetFieldFcn", 1, caller);
    if (maxParam != 1) return fail(r, u"win::cwSetFieldFcn", 2, caller);
    setFieldFunction(args[0].h);
    return put(r, args[0]);
}

QoValue* cwClearData(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    const char16_t* name = u"win::cwClearData";
    Args a = argsOf(lastArg, args, caller);
    logical(r, false);
    if (!onChartThread()) return r;
    if (a.count > 2) return fail(r, name, 1, caller);
    int id = 0, k = 0;
    if (a.count == 0) {
        theChart()->ClearAllData();
        return logical(r, true);
    }
    int kAt = a.count - 1;
    if (!a.intAt(kAt, &k) || k < 0 || k > 9 || (a.count == 2 && !a.intAt(0, &id))) return fail(r, name, 2, caller);
    if (a.count == 1) theChart()->ClearPlotData(k);
    else theChart()->ClearSingleData(id, k);
    return logical(r, true);
}

QoValue* cwSetVKFor(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    logical(r, false);
    if (!onChartThread()) return r;
    int vk;
    QoHandle f;
    if (!a.intAt(0, &vk) || vk < 0 || vk > 165 || !a.functionAt(1, &f)) return fail(r, u"win::cwSetVKFor", 1, caller);
    setVkHandler(vk, f);
    return logical(r, true);
}

QoValue* cwSetMouseFor(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    logical(r, false);
    if (!onChartThread()) return r;
    int message;
    QoHandle f;
    if (!a.intAt(0, &message) || message < 512 || message > 521 || !a.functionAt(1, &f))
        return fail(r, u"win::cwSetMouseFor", 1, caller);
    setMouseHandler(message, f);
    return logical(r, true);
}

QoValue* cwSetExe(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    logical(r, false);
    if (!onChartThread()) return r;
    QoHandle f;
    if (!a.functionAt(0, &f)) return fail(r, u"win::cwSetExe", 1, caller);
    setExeFunction(f);
    return logical(r, true);
}

QoValue* cwSetTimer(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    const char16_t* name = u"win::cwSetTimer";
    Args a = argsOf(lastArg, args, caller);
    logical(r, false);
    if (!onChartThread()) return r;
    if (a.count < 1 || a.count > 3) return fail(r, name, 1, caller);
    int ms = 0;
    bool on = false;
    if ((a.count >= 2 && (!a.intAt(1, &ms) || ms <= 0)) || (a.count == 3 && !a.logicalAt(2, &on)))
        return fail(r, name, 2, caller);
    QoHandle f;
    if (!a.functionAt(0, &f)) return fail(r, name, 3, caller);
    setTimer(f, a.count >= 2 ? &ms : nullptr, a.count == 3 ? &on : nullptr);
    return logical(r, true);
}

QoValue* cwGetType(QoValue* r, int, QoValue*, CallInfo*) {
    return integer(r, onChartThread() ? theChart()->GetType() : -1);
}

QoValue* cwSetType(QoValue* r, int, QoValue* args, CallInfo*) {
    if (!onChartThread() || !isInt(args[0]) || args[0].i < 0 || args[0].i > 9) return logical(r, false);
    bool ok = theChart()->SetType(static_cast<int>(args[0].i), nullptr);
    chartObject().RequestRepaint();
    return logical(r, ok);
}

QoValue* cwAddLayer(QoValue* r, int, QoValue*, CallInfo*) {
    return integer(r, onChartThread() ? theChart()->AddLayer() : -1);
}

QoValue* cwResizePlots(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    int n, mode, x, y;
    if (!onChartThread()) return logical(r, false);
    if (a.count == 1 && a.intAt(0, &n)) return logical(r, n > 0 && theChart()->ResizePlots(n));
    if (a.count == 3 && a.intAt(0, &mode) && a.intAt(1, &x) && a.intAt(2, &y))
        return logical(r, theChart()->ResizePlots(mode, x, y));
    return logical(r, false);
}

QoValue* cwSetPlotRange(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    double x[2], y[2];
    if (!onChartThread() || !a.realAt(0, &x[0]) || !a.realAt(1, &x[1]) || !a.realAt(2, &y[0]) || !a.realAt(3, &y[1]))
        return logical(r, false);
    return logical(r, theChart()->SetPlotRange(x, y));
}

QoValue* cwSetXRange(QoValue* r, int l, QoValue* a, CallInfo* c) { return range<&CChart::SetXRange>(r, l, a, c); }
QoValue* cwSetYRange(QoValue* r, int l, QoValue* a, CallInfo* c) { return range<&CChart::SetYRange>(r, l, a, c); }
QoValue* cwSetExactXRange(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return plotFlag<&CChart::SetExactXRange>(r, l, a, c);
}
QoValue* cwSetExactYRange(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return plotFlag<&CChart::SetExactYRange>(r, l, a, c);
}
QoValue* cwSetEqualXYAxis(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return chartFlag<&CChart::SetEqualXYAxis>(r, l, a, c);
}
QoValue* cwSetEqualXYRange(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return chartFlag<&CChart::SetEqualXYRange>(r, l, a, c);
}
QoValue* cwSetEqualXYScale(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return chartFlag<&CChart::SetEqualXYScale>(r, l, a, c);
}

QoValue* cwSetTitle(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    QString text;
    int k;
    if (!onChartThread() || a.count > 2 || !a.textAt(0, &text) || !a.optInt(1, -1, &k)) return logical(r, false);
    return logical(r, theChart()->SetTitle(text, k));
}

QoValue* cwSetDataTitle(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    QString text;
    int id, k;
    if (!onChartThread() || a.count > 3 || !a.textAt(0, &text) || !a.intAt(1, &id) || !a.optInt(2, 0, &k))
        return logical(r, false);
    return logical(r, theChart()->SetDataTitle(text, id, k));
}

QoValue* cwSetDataColor(QoValue* r, int l, QoValue* a, CallInfo* c) { return dataInt<&CChart::SetDataColor>(r, l, a, c); }
QoValue* cwSetDataLineStyle(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return dataInt<&CChart::SetDataLineStyle>(r, l, a, c);
}
QoValue* cwSetDataLineSize(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return dataInt<&CChart::SetDataLineSize>(r, l, a, c);
}
QoValue* cwSetPlotType(QoValue* r, int l, QoValue* a, CallInfo* c) { return dataInt<&CChart::SetPlotType>(r, l, a, c); }
QoValue* cwSetMarkerType(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return dataInt<&CChart::SetMarkerType>(r, l, a, c);
}
QoValue* cwSetMarkerSize(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return dataInt<&CChart::SetMarkerSize>(r, l, a, c);
}
QoValue* cwSetMarkerFreq(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return dataInt<&CChart::SetMarkerFreq>(r, l, a, c);
}
QoValue* cwSetMarkerShow(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return dataFlag<&CChart::SetMarkerShow>(r, l, a, c);
}
QoValue* cwSetMarkerFill(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return dataFlag<&CChart::SetMarkerFill>(r, l, a, c);
}

QoValue* cwSetScatter(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    int id, k;
    if (!onChartThread() || a.count > 2 || !a.intAt(0, &id) || !a.optInt(1, 0, &k)) return logical(r, false);
    return logical(r, theChart()->SetScatter(id, k));
}

QoValue* cwSetUseLegend(QoValue* r, int l, QoValue* a, CallInfo* c) { return plotFlag<&CChart::SetUseLegend>(r, l, a, c); }

QoValue* cwAddPoint2D(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    double x, y;
    int id, k;
    if (!onChartThread() || a.count > 4 || !a.realAt(0, &x) || !a.realAt(1, &y) || !a.optInt(2, 0, &id) ||
        !a.optInt(3, 0, &k))
        return integer(r, -1);
    return integer(r, theChart()->AddPoint2D(x, y, id, k));
}

QoValue* cwAddPoint3D(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    Args a = argsOf(lastArg, args, caller);
    double x, y, z;
    int k;
    if (!onChartThread() || a.count > 4 || !a.realAt(0, &x) || !a.realAt(1, &y) || !a.realAt(2, &z) ||
        !a.optInt(3, 0, &k))
        return integer(r, -1);
    return integer(r, theChart()->AddPoint3D(x, y, z, k));
}

QoValue* cwSetContourLineNum(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return chartInt<&CChart::SetContourLineNum>(r, l, a, c);
}
QoValue* cwSetContourPrecision(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return chartInt<&CChart::SetContourPrecision>(r, l, a, c);
}
QoValue* cwSetZoomMode(QoValue* r, int l, QoValue* a, CallInfo* c) { return chartFlag<&CChart::SetZoomMode>(r, l, a, c); }
QoValue* cwSetZoomFactorX(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return chartReal<&CChart::SetZoomFactorX>(r, l, a, c);
}
QoValue* cwSetZoomFactorY(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return chartReal<&CChart::SetZoomFactorY>(r, l, a, c);
}
QoValue* cwSetZoomFactor(QoValue* r, int l, QoValue* a, CallInfo* c) {
    return chartReal<&CChart::SetZoomFactor>(r, l, a, c);
}
QoValue* cwSetZoomCenter(QoValue* r, int l, QoValue* a, CallInfo* c) { return chartInt<&CChart::SetZoomCenter>(r, l, a, c); }

}  // namespace qo::win
