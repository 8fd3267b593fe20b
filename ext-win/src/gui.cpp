// gui.cpp - starting, reaching and stopping the GUI thread.
#include "gui.h"

#include <QApplication>
#include <QThread>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <string>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace qo::win::gui {
namespace {

std::thread g_thread;  // our own GUI thread, when we started one
std::mutex g_lock;
std::condition_variable g_ready;
bool g_started = false;

QtMessageHandler g_previousHandler = nullptr;

// The offscreen platform reports every window it cannot size hint; that is
// expected here and not worth a line on the console.
void filterMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.contains(QLatin1String("propagateSizeHints"))) return;
    if (g_previousHandler) g_previousHandler(type, context, text);
    else std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// A private runtime folder when the session has none (Qt warns otherwise).
void ensureRuntimeDir() {
    if (std::getenv("XDG_RUNTIME_DIR")) return;
    std::string dir = "/tmp/qo-runtime-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    struct stat st;
    if (stat(dir.c_str(), &st) == 0 && st.st_uid == getuid() && (st.st_mode & 0777) == 0700)
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
}

void guiMain() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ensureRuntimeDir();
    g_previousHandler = qInstallMessageHandler(filterMessages);
    static int argc = 1;
    static char name[] = "qo";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_started = true;
    }
    g_ready.notify_all();
    app.exec();
    qInstallMessageHandler(g_previousHandler);
}

}  // namespace

bool start() {
    if (QCoreApplication::instance() && !g_thread.joinable()) return qobject_cast<QApplication*>(qApp) != nullptr;
    if (g_thread.joinable()) return true;
    g_started = false;
    g_thread = std::thread(guiMain);
    std::unique_lock<std::mutex> g(g_lock);
    g_ready.wait(g, [] { return g_started; });
    return true;
}

void stop() {
    if (!g_thread.joinable()) return;
    QMetaObject::invokeMethod(qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    g_thread.join();
}

bool onGuiThread() { return qApp && QThread::currentThread() == qApp->thread(); }

bool headless() { return QGuiApplication::platformName() == QLatin1String("offscreen"); }

void runSync(const std::function<void()>& f) {
    if (!qApp) return;
    if (onGuiThread()) return f();
    QMetaObject::invokeMethod(qApp, [&f] { f(); }, Qt::BlockingQueuedConnection);
}

void post(std::function<void()> f) {
    if (qApp) QMetaObject::invokeMethod(qApp, std::move(f), Qt::QueuedConnection);
}

}  // namespace qo::win::gui
