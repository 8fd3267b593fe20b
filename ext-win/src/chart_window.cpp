// chart_window.cpp - the chart window: its widgets on the GUI thread, its chart
// thread (a QThread event loop) that runs the script callbacks, the handler
// table, the timer and its settings dialog, ChartWnd and cwSetExeMsg, and the
// console host's end-of-script wait.
//
// Messages of the window, as the chart thread receives them:
//   init (1126)  posted by ChartWnd; run once when the init function is still
//                the one recorded at opening.
//   exe (1127)   posted by cwSetExeMsg from any thread.
//   key (1128)   every key press but F2 (which opens the timer dialog).
//   mouse (1129) mouse moves and button presses, releases and double clicks.
//   tick         the window timer.
// Each runs its script function between UseQo(2) and UseQo(0); when the work
// area is busy a key, mouse or tick callback is skipped, while init and exe
// requests wait for it (retried every 10 ms until the window closes): the
// console host holds the work area for the whole run of a script, and a
// window opened by that script would otherwise never run its init function.
#include <QApplication>
#include <QBoxLayout>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "gui.h"
#include "render.h"
#include "win.h"

namespace qo::win {

chart::CChartWnd& chartObject() {
    static chart::CChartWnd object;
    return object;
}

namespace {

constexpr int kVkCount = 166, kMouseFirst = 512, kMouseCount = 10;
constexpr int kRetryMs = 10;
constexpr int kIdTextUnits = 79;
constexpr int kDefaultInterval = 500;

// The window's script functions and timer: set by ChartWnd before the chart
// thread starts, then used on the chart thread only (the two atomics are also
// read by the timer dialog).
struct WindowState {
    QoHandle init = 0;
    int initModule = 0, initMaxParam = 0;
    std::u16string initText;
    QoHandle exe = 0, field = 0, timerFn = 0;
    QoHandle keys[kVkCount] = {};
    QoHandle mouse[kMouseCount] = {};
    std::atomic<int> interval{kDefaultInterval};
    std::atomic<bool> running{false};

    void reset() {
        init = exe = field = timerFn = 0;
        initModule = initMaxParam = 0;
        initText.clear();
        std::fill(std::begin(keys), std::end(keys), 0);
        std::fill(std::begin(mouse), std::end(mouse), 0);
        interval = kDefaultInterval;
        running = false;
    }
};
WindowState g_state;

class Worker;
class ChartWindow;

struct Session {
    QThread thread;
    Worker* worker = nullptr;
    ChartWindow* window = nullptr;       // GUI thread only
    chart::ChartCanvas* canvas = nullptr;  // guarded by the chart's lock
    int32_t number = 0;
    std::atomic<bool> open{false};
    std::atomic<bool> closing{false};
    std::atomic<int> pending{0};  // posted requests not yet handled
    std::atomic<bool> initDone{false};
};

std::mutex g_sessionLock;
Session* g_session = nullptr;
std::atomic<QThread*> g_chartThread{nullptr};
int32_t g_nextNumber = 1;
thread_local bool t_areaHeld = false;  // this thread holds the work area for a callback

std::u16string identifyingText(QoHandle h) {
    auto* text = reinterpret_cast<const char16_t*>(engine.ExMsgWithQo(1, &h, nullptr, nullptr));
    std::u16string s;
    for (int i = 0; text && text[i] && i < kIdTextUnits; ++i) s.push_back(text[i]);
    return s;
}

bool lookUp(QoHandle h, int* module, QoValue** values, int* maxParam) {
    QoHandle found = h;
    return h != 0 && engine.GetFor(nullptr, 0, nullptr, module, &found, values, maxParam) != 0;
}

// Runs f without arguments (the area is held); false when f is gone.
bool callScript(QoHandle f) {
    int module = 0, maxParam = -1;
    QoValue* values = nullptr;
    if (!lookUp(f, &module, &values, &maxParam)) return false;
    QoValue ignored{};
    engine.QoCal(f, maxParam >= 0 ? values : nullptr, &ignored);
    reportCallbackError();
    return true;
}

// The body runs between UseQo(2) and UseQo(0); false when the area was busy.
template <typename F>
bool guarded(F body) {
    if (useQo(2) != 0) return false;
    t_areaHeld = true;
    body();
    t_areaHeld = false;
    useQo(0);
    return true;
}

double fieldCallback(double x, double y) {
    bool own = !t_areaHeld;
    if (own && useQo(2) != 0) return 0.0;
    double z = 0.0;
    int module = 0, maxParam = -1;
    QoValue* values = nullptr;
    if (lookUp(g_state.field, &module, &values, &maxParam) && maxParam == 1) {
        values[0] = QoValue{};
        values[0].r = x;
        values[0].type = values[0].optype = QO_REAL;
        values[1] = values[0];
        values[1].r = y;
        QoValue r{};
        engine.QoCal(g_state.field, values, &r);
        if (r.type == QO_REAL) z = r.r;
    }
    if (own) useQo(0);
    return z;
}

// ---- the chart thread ---------------------------------------------------------

class Worker : public QObject {
public:
    explicit Worker(Session* s) : s_(s) {}

    // Queues a request on the chart thread; counted until it has run.
    void post(void (Worker::*handler)(int), int arg) {
        ++s_->pending;
        QMetaObject::invokeMethod(this, [this, handler, arg] {
            (this->*handler)(arg);
            --s_->pending;
        }, Qt::QueuedConnection);
    }

    void onInit(int) {
        if (s_->closing) return;
        bool same = true;
        bool ran = guarded([&] {
            int module = 0, maxParam = 0;
            same = lookUp(g_state.init, &module, nullptr, &maxParam) && module == g_state.initModule &&
                   maxParam == g_state.initMaxParam && identifyingText(g_state.init) == g_state.initText;
            if (same) callScript(g_state.init);
        });
        if (!ran) return retry(&Worker::onInit);
        s_->initDone = true;
        if (same) invalidate();
    }

    void onExe(int) {
        if (s_->closing) return;
        if (!guarded([] { callScript(g_state.exe); })) return retry(&Worker::onExe);
        invalidate();
    }

    void onKey(int vk) {
        if (vk < 0 || vk >= kVkCount) return;
        guarded([vk] { callScript(g_state.keys[vk]); });
        invalidate();
    }

    void onMouse(int message) {
        int i = message - kMouseFirst;
        if (i < 0 || i >= kMouseCount) return;
        guarded([i] { callScript(g_state.mouse[i]); });
        invalidate();
    }

    void onTick() {
        guarded([this] {
            if (!callScript(g_state.timerFn)) stopTimer(0);
        });
        invalidate();
    }

    void startTimer(int) {
        if (!timer_) {
            timer_ = new QTimer(this);
            connect(timer_, &QTimer::timeout, this, [this] { onTick(); });
        }
        timer_->start(std::max(1, g_state.interval.load()));
        g_state.running = true;
    }

    void stopTimer(int) {
        if (timer_) timer_->stop();
        g_state.running = false;
    }

    void onField(int) {
        if (s_->closing) return;
        bool stale = chartObject().GetChart()->FieldNeedsUpdate();
        if (stale && !guarded([] {
                chartObject().GetChart()->UpdateField();
                reportCallbackError();
            }))
            return retry(&Worker::onField);
        chartObject().RequestRepaint();
    }

private:
    void retry(void (Worker::*handler)(int)) {
        if (s_->closing) return;
        ++s_->pending;
        QTimer::singleShot(kRetryMs, this, [this, handler] {
            (this->*handler)(0);
            --s_->pending;
        });
    }

    // After a callback: a stale field grid is evaluated, then the GUI repaints.
    void invalidate() {
        if (chartObject().GetChart()->FieldNeedsUpdate()) onField(0);
        else chartObject().RequestRepaint();
    }

    Session* s_;
    QTimer* timer_ = nullptr;
};

// ---- the widgets (GUI thread) -----------------------------------------------------

int virtualKey(const QKeyEvent* e) {
    int k = e->key();
    bool keypad = e->modifiers() & Qt::KeypadModifier;
    if (keypad && k >= Qt::Key_0 && k <= Qt::Key_9) return 96 + (k - Qt::Key_0);
    if (keypad) {
        switch (k) {
        case Qt::Key_Asterisk: return 106;
        case Qt::Key_Plus: return 107;
        case Qt::Key_Minus: return 109;
        case Qt::Key_Period: return 110;
        case Qt::Key_Slash: return 111;
        case Qt::Key_Enter: return 13;
        default: break;
        }
    }
    if (k >= Qt::Key_A && k <= Qt::Key_Z) return 65 + (k - Qt::Key_A);
    if (k >= Qt::Key_0 && k <= Qt::Key_9) return 48 + (k - Qt::Key_0);
    if (k >= Qt::Key_F1 && k <= Qt::Key_F24) return 112 + (k - Qt::Key_F1);
    switch (k) {
    case Qt::Key_Backspace: return 8;
    case Qt::Key_Tab: case Qt::Key_Backtab: return 9;
    case Qt::Key_Clear: return 12;
    case Qt::Key_Return: case Qt::Key_Enter: return 13;
    case Qt::Key_Shift: return 16;
    case Qt::Key_Control: return 17;
    case Qt::Key_Alt: return 18;
    case Qt::Key_Pause: return 19;
    case Qt::Key_CapsLock: return 20;
    case Qt::Key_Escape: return 27;
    case Qt::Key_Space: return 32;
    case Qt::Key_PageUp: return 33;
    case Qt::Key_PageDown: return 34;
    case Qt::Key_End: return 35;
    case Qt::Key_Home: return 36;
    case Qt::Key_Left: return 37;
    case Qt::Key_Up: return 38;
    case Qt::Key_Right: return 39;
    case Qt::Key_Down: return 40;
    case Qt::Key_Select: return 41;
    case Qt::Key_Printer: return 42;
    case Qt::Key_Execute: return 43;
    case Qt::Key_Print: return 44;
    case Qt::Key_Insert: return 45;
    case Qt::Key_Delete: return 46;
    case Qt::Key_Help: return 47;
    case Qt::Key_Super_L: return 91;
    case Qt::Key_Super_R: return 92;
    case Qt::Key_Menu: return 93;
    case Qt::Key_Sleep: return 95;
    case Qt::Key_NumLock: return 144;
    case Qt::Key_ScrollLock: return 145;
    case Qt::Key_Asterisk: return 106;
    case Qt::Key_Plus: return 107;
    case Qt::Key_Minus: return 189;
    case Qt::Key_Period: return 190;
    case Qt::Key_Slash: return 191;
    default: return 255;
    }
}

int mouseMessage(Qt::MouseButton b, int down, int up, int dbl, int kind) {
    int base = b == Qt::LeftButton ? 513 : b == Qt::RightButton ? 516 : b == Qt::MiddleButton ? 519 : 0;
    if (!base) return 0;
    return base + (kind == down ? 0 : kind == up ? 1 : kind == dbl ? 2 : 0);
}

class TimerDialog : public QDialog {
public:
    TimerDialog(QWidget* owner, Worker* worker) : QDialog(owner), worker_(worker) {
        setWindowTitle(QStringLiteral("ChartWnd 计时器设置"));
        setObjectName("DlgChartWndTimer");
        setAttribute(Qt::WA_DeleteOnClose);
        auto* label = new QLabel(QStringLiteral("计时器  间隔时间（毫秒）："));
        edit_ = new QLineEdit(QString::number(g_state.interval.load()));
        edit_->setObjectName("552");
        auto* start = new QPushButton(QStringLiteral("开 始"));
        start->setObjectName("553");
        auto* stop = new QPushButton(QStringLiteral("结 束"));
        stop->setObjectName("554");
        auto* row = new QHBoxLayout;
        row->addWidget(label), row->addWidget(edit_);
        auto* buttons = new QHBoxLayout;
        buttons->addWidget(start), buttons->addWidget(stop);
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(row), layout->addLayout(buttons);
        connect(start, &QPushButton::clicked, this, [this] {
            bool ok = false;
            int ms = edit_->text().trimmed().toInt(&ok);
            g_state.interval = ok ? ms : 0;
            if (Worker* w = worker_) QMetaObject::invokeMethod(w, [w] { w->startTimer(0); }, Qt::QueuedConnection);
        });
        connect(stop, &QPushButton::clicked, this, [this] {
            if (Worker* w = worker_) QMetaObject::invokeMethod(w, [w] { w->stopTimer(0); }, Qt::QueuedConnection);
        });
    }

private:
    QPointer<Worker> worker_;
    QLineEdit* edit_;
};

class WindowCanvas : public chart::ChartCanvas {
public:
    WindowCanvas(Session* s, QWidget* parent) : ChartCanvas(&chartObject(), parent), s_(s) {
        setObjectName("chartCanvas");
    }
    std::function<void()> openTimerDialog;
    // The window is going away: events still queued for the canvas are dropped.
    void detachSession() { s_ = nullptr; }

protected:
    void keyPressEvent(QKeyEvent* e) override {
        int vk = virtualKey(e);
        if (!s_) return;
        if (vk == 113) return openTimerDialog();  // F2, the accelerator
        s_->worker->post(&Worker::onKey, vk);
    }
    void mousePressEvent(QMouseEvent* e) override { mouse(e->button(), 0); }
    void mouseReleaseEvent(QMouseEvent* e) override { mouse(e->button(), 1); }
    void mouseDoubleClickEvent(QMouseEvent* e) override { mouse(e->button(), 2); }
    void mouseMoveEvent(QMouseEvent*) override {
        if (s_) s_->worker->post(&Worker::onMouse, 512);
    }
    void pluginCommand(int command) override {
        if (!s_) return;
        // A plug-in command runs with the script functions, on the chart thread.
        QMetaObject::invokeMethod(s_->worker, [command] {
            chart::CChart::Settings st;
            {
                std::lock_guard<std::recursive_mutex> g(chartObject().GetChart()->lock());
                st = chartObject().GetChart()->settings();
            }
            if (st.menuHandler) st.menuHandler(command, st.menuData);
            chartObject().RequestRepaint();
        }, Qt::QueuedConnection);
    }

private:
    void mouse(Qt::MouseButton b, int kind) {
        int message = mouseMessage(b, 0, 1, 2, kind);
        if (message && s_) s_->worker->post(&Worker::onMouse, message);
    }
    Session* s_;
};

const char16_t kAbout[] =
    u"ChartWnd：Qo 的图表窗口（QoWin32）。\n"
    u"图表由 Qo 自己的绘图库绘制（Qt 6 QPainter）。\n"
    u"按 F2 设置计时器。\n"
    u"版本 1.0";

class ChartWindow : public QMainWindow {
public:
    explicit ChartWindow(Session* s) : s_(s) {
        setWindowTitle("ChartWnd");
        setObjectName("ChartWnd");
        canvas_ = new WindowCanvas(s, this);
        canvas_->openTimerDialog = [this] { openTimerDialog(); };
        setCentralWidget(canvas_);
        QMenu* settings = menuBar()->addMenu(QStringLiteral("设置(&S)"));
        QAction* timer = settings->addAction(QStringLiteral("计时器设置(&T)...\tF2"));
        timer->setData(550);
        connect(timer, &QAction::triggered, this, [this] { openTimerDialog(); });
        QMenu* help = menuBar()->addMenu(QStringLiteral("帮助(&H)"));
        QAction* about = help->addAction(QStringLiteral("关于 ChartWnd(&A)..."));
        about->setData(86);
        connect(about, &QAction::triggered, this, [this] {
            QMessageBox::about(this, QStringLiteral("QoWin::ChartWnd：关于"), QString::fromUtf16(kAbout));
        });
        {
            std::lock_guard<std::recursive_mutex> g(chartObject().GetChart()->lock());
            s_->canvas = canvas_;
        }
        chartObject().Attach(canvas_, 0);
        resize(800, 600);
        canvas_->setFocus();
    }

    // The window is going away (closed by the user or by the library).
    void destroyWindow() {
        if (destroyed_) return;
        destroyed_ = true;
        {
            std::lock_guard<std::recursive_mutex> g(chartObject().GetChart()->lock());
            chartObject().Detach();
            s_->canvas = nullptr;
        }
        if (dialog_) dialog_->close();
        canvas_->detachSession();
        g_state.running = false;
        s_->open = false;
        s_->window = nullptr;
        s_->thread.quit();
        hide();
        deleteLater();
    }

    void openTimerDialog() {
        if (dialog_ || destroyed_) return;
        dialog_ = new TimerDialog(this, s_->worker);
        dialog_->show();
    }

protected:
    void closeEvent(QCloseEvent* e) override {
        e->accept();
        destroyWindow();
    }

private:
    Session* s_;
    WindowCanvas* canvas_;
    QPointer<TimerDialog> dialog_;
    bool destroyed_ = false;
};

Session* currentSession() {
    std::lock_guard<std::mutex> g(g_sessionLock);
    return g_session;
}

}  // namespace

// ---- script-facing pieces ------------------------------------------------------

bool onChartThread() {
    QThread* t = g_chartThread.load();
    return t && QThread::currentThread() == t;
}

int32_t chartWindowNumber() {
    Session* s = currentSession();
    return s && s->open ? s->number : 0;
}

void closeChartWindow() {
    if (onChartThread()) return;  // the chart thread cannot wait for itself
    Session* s;
    {
        std::lock_guard<std::mutex> g(g_sessionLock);
        s = g_session;
        g_session = nullptr;
    }
    if (!s) return;
    s->closing = true;
    gui::runSync([s] {
        if (s->window) s->window->destroyWindow();
    });
    s->thread.quit();
    s->thread.wait();
    g_chartThread = nullptr;
    delete s;
}

bool requestCloseChartWindow() {
    Session* s = currentSession();
    if (!s || !s->open) return false;
    if (!onChartThread()) {
        closeChartWindow();
        return true;
    }
    gui::post([s] {
        std::lock_guard<std::mutex> g(g_sessionLock);  // still the open window?
        if (g_session == s && s->window) s->window->destroyWindow();
    });
    return true;
}

QWidget* chartWindowWidget(int32_t number) {
    std::lock_guard<std::mutex> g(g_sessionLock);
    return g_session && g_session->number == number ? g_session->window : nullptr;
}

QoValue* chartWnd(QoValue* result, int, QoValue* args, CallInfo* caller) {
    put(result, nilValue());
    if (onChartThread()) return result;
    closeChartWindow();
    g_state.reset();
    chartObject().GetChart()->SetFieldFcn(nullptr);
    int module = 0, maxParam = 0;
    if (args[0].type != QO_FUNCTION || !lookUp(args[0].h, &module, nullptr, &maxParam))
        return fail(result, u"win::ChartWnd", 1, caller);
    g_state.init = args[0].h;
    g_state.initModule = module;
    g_state.initMaxParam = maxParam;
    g_state.initText = identifyingText(args[0].h);
    if (!gui::start()) return result;
    auto* s = new (std::nothrow) Session;
    if (!s) return result;
    s->number = g_nextNumber++;
    s->worker = new Worker(s);
    s->worker->moveToThread(&s->thread);
    QObject::connect(&s->thread, &QThread::finished, s->worker, &QObject::deleteLater);
    g_chartThread = &s->thread;
    s->thread.start();
    gui::runSync([s] {
        s->window = new ChartWindow(s);
        s->window->show();
        s->open = true;
    });
    {
        std::lock_guard<std::mutex> g(g_sessionLock);
        g_session = s;
    }
    s->worker->post(&Worker::onInit, 0);
    return put(result, windowValue(s->number));
}

QoValue* cwSetExeMsg(QoValue* result, int, QoValue*, CallInfo*) {
    std::lock_guard<std::mutex> g(g_sessionLock);
    if (g_session && g_session->open) g_session->worker->post(&Worker::onExe, 0);
    return put(result, nilValue());
}

void setVkHandler(int vk, QoHandle f) { g_state.keys[vk] = f; }
void setMouseHandler(int message, QoHandle f) { g_state.mouse[message - kMouseFirst] = f; }
void setExeFunction(QoHandle f) { g_state.exe = f; }

void setFieldFunction(QoHandle f) {
    g_state.field = f;
    chartObject().GetChart()->SetFieldFcn(&fieldCallback);
}

bool setTimer(QoHandle f, const int* interval, const bool* on) {
    Session* s = currentSession();
    if (!s) return false;
    g_state.timerFn = f;
    if (interval) g_state.interval = *interval;
    if (on) g_state.running = *on;
    if (g_state.running) s->worker->startTimer(0);
    else s->worker->stopTimer(0);
    return true;
}

bool attachChart(int type, const int* rect) {
    Session* s = currentSession();
    if (!s) return false;
    chart::CChartWnd& w = chartObject();
    std::lock_guard<std::recursive_mutex> g(w.GetChart()->lock());
    w.Detach();
    if (!s->canvas) return false;
    if (!rect) return w.Attach(s->canvas, type);
    return w.Attach(s->canvas, type, QRect(QPoint(rect[0], rect[1]), QPoint(rect[2] - 1, rect[3] - 1)));
}

void refreshField() {
    chart::CChart* c = chartObject().GetChart();
    if (!c->FieldNeedsUpdate()) return;
    if (t_areaHeld) return c->UpdateField();
    guarded([c] {
        c->UpdateField();
        reportCallbackError();
    });
}

bool saveChartWindow(const std::u16string& file, int width, int height) {
    Session* s = currentSession();
    if (!s || !s->open) return false;
    if (onChartThread()) refreshField();
    if (width <= 0 || height <= 0) {
        width = 800, height = 600;
        if (!gui::headless())
            gui::runSync([&] {
                std::lock_guard<std::recursive_mutex> g(chartObject().GetChart()->lock());
                if (s->canvas) width = s->canvas->width(), height = s->canvas->height();
            });
    }
    return chart::saveChart(*chartObject().GetChart(), QString::fromUtf16(file.data(), static_cast<qsizetype>(file.size())),
                            width, height);
}

int hostWait(int mode) {
    Session* s = currentSession();
    if (s && mode != 0) {
        bool visible = !gui::headless();
        while (s->open && (visible || !(s->initDone && s->pending == 0)))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    closeChartWindow();
    return 0;
}

}  // namespace qo::win
