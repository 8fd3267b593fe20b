// chart_wnd.h - CChartWnd, which attaches a chart to a window, and ChartCanvas,
// the widget that shows it.
//
// Contract
//   - One CChartWnd owns one CChart. Attach/Detach/ResetChart/GetChart may be
//     called from any thread: they only change state under the chart's lock and
//     ask for a repaint. The canvas (a widget) lives on the GUI thread and
//     paints the chart when it is attached to it.
//   - RequestRepaint() may be called from any thread; requests are coalesced:
//     while one is on its way to the GUI thread, further ones are dropped.
//   - A canvas that is destroyed detaches itself first, so the CChartWnd never
//     refers to a dead widget.
//   - The canvas zooms with the mouse wheel in zoom mode and shows a context
//     menu with "还原缩放" and the chart's plug-in items; a plug-in command goes
//     to pluginCommand(), which a window may override to run it elsewhere.
#pragma once
#include <QRect>
#include <QWidget>
#include <atomic>

#include "chart.h"

namespace qo::chart {

class ChartCanvas;

class CChartWnd {
public:
    bool Attach(ChartCanvas* window, int type);
    bool Attach(ChartCanvas* window, int type, QRect rect);
    void Detach();
    void ResetChart();
    CChart* GetChart() { return &chart_; }

    void RequestRepaint();
    // With the chart's lock held: the canvas and the rectangle it paints into
    // (an empty rectangle: the whole canvas).
    ChartCanvas* canvas() const { return canvas_; }
    QRect rect() const { return rect_; }

private:
    friend class ChartCanvas;
    CChart chart_;
    ChartCanvas* canvas_ = nullptr;
    QRect rect_;
    std::atomic<bool> repaintPending_{false};
};

class ChartCanvas : public QWidget {
public:
    explicit ChartCanvas(CChartWnd* owner, QWidget* parent = nullptr);
    ~ChartCanvas() override;
    CChartWnd* owner() const { return owner_; }
    // Renders what the canvas shows now into an image of the given size.
    QImage grabChart(int width, int height);

protected:
    void paintEvent(QPaintEvent*) override;
    void wheelEvent(QWheelEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    // Runs a plug-in command; the default calls the handler here and repaints
    // when it answers -3.
    virtual void pluginCommand(int command);

private:
    friend class CChartWnd;
    void repaintNow();
    CChartWnd* owner_;
};

}  // namespace qo::chart
