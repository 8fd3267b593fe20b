// chart_wnd.cpp - attaching a chart to a canvas, and the canvas itself.
#include "chart_wnd.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>
#include <QWheelEvent>
#include <cmath>

#include "render.h"

namespace qo::chart {

using Guard = std::lock_guard<std::recursive_mutex>;

namespace {
constexpr int kResetZoomCommand = -100;
}

bool CChartWnd::Attach(ChartCanvas* window, int type) { return Attach(window, type, QRect()); }

bool CChartWnd::Attach(ChartCanvas* window, int type, QRect rect) {
    {
        Guard g(chart_.lock());
        if (!window || type < 0 || type >= kTypeCount) return false;
        if (!rect.isNull() && (rect.width() <= 0 || rect.height() <= 0)) return false;
        canvas_ = window;
        rect_ = rect;
        chart_.SetType(type);
    }
    RequestRepaint();
    return true;
}

void CChartWnd::Detach() {
    RequestRepaint();
    Guard g(chart_.lock());
    canvas_ = nullptr;
    rect_ = QRect();
}

void CChartWnd::ResetChart() {
    chart_.Reset();
    RequestRepaint();
}

void CChartWnd::RequestRepaint() {
    Guard g(chart_.lock());  // the canvas cannot go away while the request is posted
    if (!canvas_ || repaintPending_.exchange(true)) return;
    ChartCanvas* c = canvas_;
    QMetaObject::invokeMethod(c, [c] { c->repaintNow(); }, Qt::QueuedConnection);
}

ChartCanvas::ChartCanvas(CChartWnd* owner, QWidget* parent) : QWidget(parent), owner_(owner) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(120, 90);
}

ChartCanvas::~ChartCanvas() {
    Guard g(owner_->chart_.lock());
    if (owner_->canvas_ == this) owner_->canvas_ = nullptr;
}

void ChartCanvas::repaintNow() {
    owner_->repaintPending_ = false;
    update();
}

void ChartCanvas::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    Guard g(owner_->chart_.lock());
    if (owner_->canvas_ != this) return;
    QRect r = owner_->rect_.isNull() ? rect() : owner_->rect_;
    qo::chart::render(owner_->chart_, p, QRectF(r));
}

QImage ChartCanvas::grabChart(int width, int height) {
    Guard g(owner_->chart_.lock());
    return renderImage(owner_->chart_, width, height);
}

void ChartCanvas::wheelEvent(QWheelEvent* e) {
    CChart* c = owner_->GetChart();
    if (!c->ZoomMode()) return e->ignore();
    double notches = e->angleDelta().y() / 120.0;
    c->ZoomBy(std::pow(1.25, notches));
    update();
}

void ChartCanvas::contextMenuEvent(QContextMenuEvent* e) {
    QMenu menu(this);
    QAction* reset = menu.addAction(QStringLiteral("还原缩放"));
    reset->setData(kResetZoomCommand);
    CChart::Settings s;
    {
        Guard g(owner_->chart_.lock());
        s = owner_->chart_.settings();
    }
    if (s.menuBuilder) s.menuBuilder(&menu, s.menuData);
    QAction* chosen = menu.exec(e->globalPos());
    if (!chosen) return;
    int command = chosen->data().toInt();
    if (command == kResetZoomCommand) {
        owner_->chart_.SetZoomFactor(1);
        update();
    } else {
        pluginCommand(command);
    }
}

void ChartCanvas::pluginCommand(int command) {
    CChart::Settings s;
    {
        Guard g(owner_->chart_.lock());
        s = owner_->chart_.settings();
    }
    if (s.menuHandler && s.menuHandler(command, s.menuData) == -3) update();
}

}  // namespace qo::chart
