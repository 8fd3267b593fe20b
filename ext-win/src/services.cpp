// services.cpp - the general window services: the function-timer dialog, the
// message box, the open-file dialog, RGB, GetWin, SaveChart and CloseChart,
// and the function-plot functions, which refuse until the plot window exists.
//
// Dialogs live on the GUI thread; a script that opens a modal one (message box,
// file dialog) waits for its answer. The function-timer dialog is modeless:
// FunTimer returns once it is shown, and its timers run their global script
// functions on the GUI thread between UseQo(2) and UseQo(0).
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "gui.h"
#include "win.h"

namespace qo::win {
namespace {

// ---- the function-timer dialog ------------------------------------------------------

constexpr int kTimers = 3, kNameUnits = 80;

struct FunTimerSettings {
    int interval[kTimers];
    std::u16string name[kTimers];
    bool running[kTimers];
};
FunTimerSettings g_funTimer;  // GUI thread while the dialog is open

const char16_t kBusy[] = u"Qo工作区被占用或程序即将关闭，无法执行这项操作！";

class FunTimerDialog : public QDialog {
public:
    FunTimerDialog() {
        setWindowTitle(QStringLiteral("FunTimer 计时器"));
        setObjectName("DlgFunTimer");
        setAttribute(Qt::WA_DeleteOnClose);
        auto* grid = new QGridLayout(this);
        for (int t = 0; t < kTimers; ++t) {
            int base = 32 + 6 * t;  // label, interval, label, name, start, stop
            auto* label = new QLabel(QStringLiteral("计时器%1  间隔时间（毫秒）：").arg(t + 1));
            interval_[t] = new QLineEdit(QString::number(g_funTimer.interval[t]));
            interval_[t]->setObjectName(QString::number(base + 1));
            auto* nameLabel = new QLabel(QStringLiteral("全局函数名："));
            name_[t] = new QLineEdit(QString::fromStdU16String(g_funTimer.name[t]));
            name_[t]->setObjectName(QString::number(base + 3));
            auto* start = new QPushButton(QStringLiteral("开始"));
            start->setObjectName(QString::number(base + 4));
            auto* stop = new QPushButton(QStringLiteral("结束"));
            stop->setObjectName(QString::number(base + 5));
            grid->addWidget(label, t, 0), grid->addWidget(interval_[t], t, 1);
            grid->addWidget(nameLabel, t, 2), grid->addWidget(name_[t], t, 3);
            grid->addWidget(start, t, 4), grid->addWidget(stop, t, 5);
            timer_[t] = new QTimer(this);
            connect(timer_[t], &QTimer::timeout, this, [this, t] { tick(t); });
            connect(start, &QPushButton::clicked, this, [this, t] { startTimer(t); });
            connect(stop, &QPushButton::clicked, this, [this, t] { stopTimer(t); });
        }
        auto* all = new QPushButton(QStringLiteral("全部开始"));
        all->setObjectName("50");
        auto* none = new QPushButton(QStringLiteral("全部结束"));
        none->setObjectName("51");
        grid->addWidget(all, kTimers, 4), grid->addWidget(none, kTimers, 5);
        connect(all, &QPushButton::clicked, this, [this] {
            for (int t = 0; t < kTimers; ++t) startTimer(t);
        });
        connect(none, &QPushButton::clicked, this, [this] { stopAll(); });
    }

    void stopAll() {
        for (int t = 0; t < kTimers; ++t) stopTimer(t);
    }

protected:
    void closeEvent(QCloseEvent* e) override {
        stopAll();
        QDialog::closeEvent(e);
    }
    void reject() override {
        stopAll();
        QDialog::reject();
    }

private:
    void startTimer(int t) {
        bool ok = false;
        int ms = interval_[t]->text().trimmed().toInt(&ok);
        g_funTimer.interval[t] = ok ? ms : 0;
        g_funTimer.name[t] = name_[t]->text().left(kNameUnits - 1).toStdU16String();
        timer_[t]->start(std::max(1, g_funTimer.interval[t]));
        g_funTimer.running[t] = true;
    }

    void stopTimer(int t) {
        timer_[t]->stop();
        g_funTimer.running[t] = false;
    }

    void tick(int t) {
        if (warning_) return;  // the busy message is up: one at a time
        if (useQo(2) != 0) {
            warning_ = true;
            QMessageBox::warning(this, QStringLiteral("QoWin::FunTimer"), QString::fromUtf16(kBusy));
            warning_ = false;
            return;
        }
        QoHandle h = 0;
        int module = 0, maxParam = -1;
        QoValue* values = nullptr;
        if (engine.GetFor(g_funTimer.name[t].c_str(), 1, nullptr, &module, &h, &values, &maxParam)) {
            QoValue r{};
            engine.QoCal(h, maxParam >= 0 ? values : nullptr, &r);
            reportCallbackError();
            if (r.type == QO_LOGICAL && r.i == 0) stopTimer(t);
        }
        useQo(0);
    }

    QLineEdit* interval_[kTimers];
    QLineEdit* name_[kTimers];
    QTimer* timer_[kTimers];
    bool warning_ = false;
};

QPointer<FunTimerDialog> g_funTimerDialog;  // GUI thread

// ---- message boxes ----------------------------------------------------------------

// The pressed button as the platform's button id (IDOK 1 ... IDNO 7).
int buttonId(QMessageBox::StandardButton b) {
    switch (b) {
    case QMessageBox::Ok: return 1;
    case QMessageBox::Cancel: return 2;
    case QMessageBox::Abort: return 3;
    case QMessageBox::Retry: return 4;
    case QMessageBox::Ignore: return 5;
    case QMessageBox::Yes: return 6;
    case QMessageBox::No: return 7;
    default: return 2;
    }
}

int showMessageBox(QWidget* owner, const QString& text, const QString& caption, int64_t style) {
    using B = QMessageBox;
    static const B::StandardButtons buttons[] = {
        B::Ok, B::Ok | B::Cancel, B::Abort | B::Retry | B::Ignore, B::Yes | B::No | B::Cancel, B::Yes | B::No,
        B::Retry | B::Cancel,
    };
    int set = static_cast<int>(style & 0xF);
    int icon = static_cast<int>(style & 0xF0);
    B box(icon == 0x10 ? B::Critical : icon == 0x20 ? B::Question : icon == 0x30 ? B::Warning
          : icon == 0x40 ? B::Information : B::NoIcon,
          caption, text, set < 6 ? buttons[set] : B::Ok, owner);
    box.setObjectName("QoMessageBox");
    return buttonId(static_cast<B::StandardButton>(box.exec()));
}

QoValue* refuse(QoValue* r, const char16_t* name, CallInfo* caller) {
    // The function-plot window is not part of this version of the library.
    return fail(r, name, 99, caller);
}

}  // namespace

void resetFunTimer() {
    for (int t = 0; t < kTimers; ++t) {
        g_funTimer.interval[t] = 1000;
        g_funTimer.name[t].clear();
        g_funTimer.running[t] = false;
    }
}

void closeFunTimer() {
    if (!qApp) return;
    gui::runSync([] {
        if (g_funTimerDialog) {
            g_funTimerDialog->stopAll();
            delete g_funTimerDialog.data();
        }
    });
}

QoValue* funTimer(QoValue* r, int, QoValue*, CallInfo*) {
    put(r, nilValue());
    if (!gui::start()) return r;
    closeFunTimer();
    gui::runSync([] {
        g_funTimerDialog = new FunTimerDialog;
        g_funTimerDialog->show();
    });
    return r;
}

QoValue* plot(QoValue* r, int, QoValue*, CallInfo* caller) { return refuse(r, u"win::Plot", caller); }
QoValue* plotExe(QoValue* r, int, QoValue*, CallInfo* caller) { return refuse(r, u"win::PlotExe", caller); }
QoValue* setPara(QoValue* r, int, QoValue*, CallInfo* caller) { return refuse(r, u"win::SetPara", caller); }

QoValue* rgb(QoValue* r, int, QoValue* args, CallInfo*) {
    uint32_t red = static_cast<uint32_t>(args[0].i), green = static_cast<uint32_t>(args[1].i);
    uint32_t blue = static_cast<uint32_t>(args[2].i);
    return put(r, intValue(static_cast<int32_t>((blue << 16) | (green << 8) | red)));
}

QoValue* getWin(QoValue* r, int, QoValue* args, CallInfo*) {
    int32_t number = isInt(args[0]) && args[0].i == kChartSelector ? chartWindowNumber() : 0;
    return put(r, windowValue(number));
}

QoValue* messageBox(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    const char16_t* name = u"win::MessageBox";
    put(r, intValue(0));
    int count = lastArg + 1;
    if (count < 2 || count > 4) return fail(r, name, 1, caller);
    int first = count == 4 ? 1 : 0;
    std::u16string text, caption;
    if (count == 4 && args[0].type != QO_POINTER) return fail(r, name, 2, caller);
    if (!textOf(args[first], caller, &text) || !textOf(args[first + 1], caller, &caption)) return fail(r, name, 2, caller);
    int64_t style = 0;
    if (count >= 3) {
        if (!isInt(args[first + 2])) return fail(r, name, 2, caller);
        style = args[first + 2].i;
    }
    int32_t window = count == 4 ? args[0].h : -1;
    if (!gui::start()) return r;
    useQo(3);
    int pressed = 0;
    gui::runSync([&] {
        QWidget* owner = window >= 0 ? chartWindowWidget(window) : QApplication::activeWindow();
        pressed = showMessageBox(owner, QString::fromStdU16String(text), QString::fromStdU16String(caption), style);
    });
    useQo(4);
    return put(r, intValue(pressed));
}

QoValue* getFileName(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    const char16_t* name = u"win::GetFileName";
    put(r, nilValue());
    if (lastArg > 0) return fail(r, name, 1, caller);
    std::u16string title = u"打开";
    if (lastArg == 0 && !textOf(args[0], caller, &title)) return fail(r, name, 2, caller);
    if (!gui::start()) return r;
    QString chosen;
    gui::runSync([&] {
        QFileDialog dialog(QApplication::activeWindow(), QString::fromStdU16String(title), QDir::currentPath(),
                           QStringLiteral("所有文件(*.*) (*)"));
        dialog.setObjectName("QoFileDialog");
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setFileMode(QFileDialog::ExistingFile);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            chosen = dialog.selectedFiles().first();
    });
    QoHandle h = 0;
    auto* s = static_cast<QoString*>(engine.NewSysObj(QO_STRING, 260, 0, &h));
    if (!s || !s->text || s->capacity < 1) return fail(r, name, 3, caller);
    qsizetype n = std::min<qsizetype>(chosen.size(), std::min(259, s->capacity - 1));
    for (qsizetype i = 0; i < n; ++i) s->text[i] = chosen.at(i).unicode();
    s->text[n] = 0;
    engine.FunReObj(caller);
    QoValue v{};
    v.h = h;
    v.type = v.optype = QO_STRING;
    return put(r, v);
}

QoValue* saveChart(QoValue* r, int lastArg, QoValue* args, CallInfo* caller) {
    const char16_t* name = u"win::SaveChart";
    int count = lastArg + 1;
    put(r, logicalValue(false));
    if (count != 1 && count != 3) return fail(r, name, 1, caller);
    std::u16string file;
    if (!textOf(args[0], caller, &file)) return fail(r, name, 2, caller);
    int width = 0, height = 0;
    if (count == 3) {
        if (!isInt(args[1]) || !isInt(args[2]) || args[1].i <= 0 || args[2].i <= 0 || args[1].i > 20000 ||
            args[2].i > 20000)
            return fail(r, name, 3, caller);
        width = static_cast<int>(args[1].i), height = static_cast<int>(args[2].i);
    }
    return put(r, logicalValue(saveChartWindow(file, width, height)));
}

QoValue* closeChart(QoValue* r, int, QoValue*, CallInfo*) { return put(r, logicalValue(requestCloseChartWindow())); }

}  // namespace qo::win
