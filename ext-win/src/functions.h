// functions.h - the native functions of QoWin32 in registration order: the 57
// of the library, then SaveChart and CloseChart. One row per function: short
// name, parameter-count code, implementing function (in libQoWinGui.so).
// Qt-free: the registering library (libQoWin32.so) and the implementing one
// both walk this list, so their tables line up by position.
#pragma once

#define QO_WIN_FUNCTIONS(X)                                                                         \
    X(FunTimer, -1, funTimer) X(Plot, -2, plot) X(PlotExe, -2, plotExe) X(RGB, 2, rgb)                \
    X(SetPara, -2, setPara) X(GetWin, 0, getWin) X(MessageBox, -2, messageBox)                      \
    X(GetFileName, -2, getFileName) X(ChartWnd, 0, chartWnd) X(cwResetChart, -1, cwResetChart)      \
    X(cwAttach, -2, cwAttach) X(cwAddCurve, -2, cwAddCurve) X(cwGetIndex, -2, cwGetIndex)            \
    X(cwGetDataID, -2, cwGetDataID) X(cwAddPie, -2, cwAddPie) X(cwAddStems, -2, cwAddStems)          \
    X(cwSetFieldFcn, 0, cwSetFieldFcn) X(cwClearData, -2, cwClearData) X(cwSetVKFor, 1, cwSetVKFor)  \
    X(cwSetExeMsg, -1, cwSetExeMsg) X(cwSetExe, 0, cwSetExe) X(cwSetTimer, -2, cwSetTimer)           \
    X(cwSetMouseFor, 1, cwSetMouseFor) X(cwGetType, -1, cwGetType) X(cwSetType, 0, cwSetType)        \
    X(cwAddLayer, -1, cwAddLayer) X(cwResizePlots, -2, cwResizePlots)                               \
    X(cwSetPlotRange, 3, cwSetPlotRange) X(cwSetXRange, -2, cwSetXRange)                            \
    X(cwSetYRange, -2, cwSetYRange) X(cwSetExactXRange, -2, cwSetExactXRange)                       \
    X(cwSetExactYRange, -2, cwSetExactYRange) X(cwSetEqualXYAxis, 0, cwSetEqualXYAxis)              \
    X(cwSetEqualXYRange, 0, cwSetEqualXYRange) X(cwSetEqualXYScale, 0, cwSetEqualXYScale)           \
    X(cwSetTitle, -2, cwSetTitle) X(cwSetDataTitle, -2, cwSetDataTitle)                             \
    X(cwSetDataColor, -2, cwSetDataColor) X(cwSetDataLineStyle, -2, cwSetDataLineStyle)             \
    X(cwSetDataLineSize, -2, cwSetDataLineSize) X(cwSetPlotType, -2, cwSetPlotType)                 \
    X(cwSetMarkerShow, -2, cwSetMarkerShow) X(cwSetMarkerFill, -2, cwSetMarkerFill)                 \
    X(cwSetMarkerType, -2, cwSetMarkerType) X(cwSetMarkerSize, -2, cwSetMarkerSize)                 \
    X(cwSetMarkerFreq, -2, cwSetMarkerFreq) X(cwSetScatter, -2, cwSetScatter)                       \
    X(cwSetUseLegend, -2, cwSetUseLegend) X(cwAddPoint2D, -2, cwAddPoint2D)                         \
    X(cwAddPoint3D, -2, cwAddPoint3D) X(cwSetContourLineNum, 0, cwSetContourLineNum)                \
    X(cwSetContourPrecision, 0, cwSetContourPrecision) X(cwSetZoomMode, 0, cwSetZoomMode)           \
    X(cwSetZoomFactorX, 0, cwSetZoomFactorX) X(cwSetZoomFactorY, 0, cwSetZoomFactorY)               \
    X(cwSetZoomFactor, 0, cwSetZoomFactor) X(cwSetZoomCenter, 0, cwSetZoomCenter)                   \
    X(SaveChart, -2, saveChart) X(CloseChart, -1, closeChart)

#define QO_WIN_COUNT_ONE(name, count, fn) +1
constexpr int kWinFunctionCount = 0 QO_WIN_FUNCTIONS(QO_WIN_COUNT_ONE);
static_assert(kWinFunctionCount == 57 + 2);
