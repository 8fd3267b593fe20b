// QoWin32 through the module manager, as a console host uses it: scripts open
// chart windows, their callbacks run on the chart thread, keys and mouse
// clicks are synthesised on the GUI thread, dialogs are answered by the test.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mqo32.h"
#include "qo/text.h"
#include "test_env.h"

namespace {

using namespace std::chrono_literals;

std::mutex g_outLock;
std::string g_out;

void output(const char16_t* text) {
    std::lock_guard<std::mutex> g(g_outLock);
    g_out += qo::text::toUtf8(text);
}

void printer(QoValue* v) {
    std::string s;
    switch (v->type) {
    case QO_NIL: s = "nil"; break;
    case QO_INT: s = std::to_string(v->i); break;
    case QO_REAL: s = std::to_string(v->r); break;
    case QO_LOGICAL: s = v->i ? "true" : "false"; break;
    case QO_POINTER: s = "window " + std::to_string(v->h); break;
    default: s = "type " + std::to_string(v->type); break;
    }
    std::lock_guard<std::mutex> g(g_outLock);
    g_out += s + "\n";
}

std::string out() {
    std::lock_guard<std::mutex> g(g_outLock);
    return g_out;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

bool outputHas(const std::string& what, std::chrono::milliseconds limit = 5000ms) {
    return waitFor([&] { return out().find(what) != std::string::npos; }, limit);
}

// Runs on the GUI thread of the extension and waits.
void onGui(const std::function<void()>& f) {
    ASSERT_NE(qApp, nullptr);
    QMetaObject::invokeMethod(qApp, [&f] { f(); }, Qt::BlockingQueuedConnection);
}

template <typename T = QWidget>
T* topLevel(const char* name) {
    T* found = nullptr;
    if (!qApp) return found;  // the extension has not started its GUI yet
    onGui([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == name && w->isVisible()) found = qobject_cast<T*>(w);
    });
    return found;
}

class WinExt : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(InitMQo());
        void* engine = GetQoHandle();
        insertKey = reinterpret_cast<decltype(&::InsertKey)>(dlsym(engine, "InsertKey"));
        searchKey = reinterpret_cast<decltype(&::SearchKey)>(dlsym(engine, "SearchKey"));
        exMsg = reinterpret_cast<decltype(&::ExMsgWithQo)>(dlsym(engine, "ExMsgWithQo"));
        int32_t zero = 0;
        void* old = nullptr;
        insertKey(&zero, 4, 256, reinterpret_cast<void*>(&output), nullptr, nullptr, 1, &old);
        UseQo(2);
        LoadDll(u"QoSystem32 QoWin32");
        UseQo(0);
        wait = reinterpret_cast<int (*)(int)>(searchKey("QoWinWait", 9, 256));
        ASSERT_NE(wait, nullptr) << "QoWin32 did not load";
    }
    static void TearDownTestSuite() { FreeMQo(); }

    void SetUp() override {
        std::lock_guard<std::mutex> g(g_outLock);
        g_out.clear();
    }
    void TearDown() override {
        wait(0);
        for (void* m : modules_) {
            UseQo(2);
            DelModule(m);
            UseQo(0);
        }
    }

    // Compiles and runs a script as the console host does (work area held).
    void run(const std::string& source) {
        std::u16string text = qo::text::fromUtf8(source);
        intptr_t cookie = 0;
        void* module = nullptr;
        int begin = 0, end = 0;
        UseQo(2);
        int code = ComModule(text.c_str(), &cookie, &module, &begin, &end);
        if (code == 0) ExeModule(module, &printer);
        UseQo(0);
        ASSERT_EQ(code, 0) << source << " at " << begin;
        modules_.push_back(module);
    }

    // Synthesised input on the open chart window's canvas.
    void onCanvas(const std::function<void(QWidget*)>& f) {
        QWidget* window = topLevel("ChartWnd");
        ASSERT_NE(window, nullptr);
        onGui([&] { f(window->findChild<QWidget*>("chartCanvas")); });
    }

    static inline decltype(&::InsertKey) insertKey = nullptr;
    static inline decltype(&::SearchKey) searchKey = nullptr;
    static inline decltype(&::ExMsgWithQo) exMsg = nullptr;
    static inline int (*wait)(int) = nullptr;
    std::vector<void*> modules_;
};

TEST_F(WinExt, ConstantsRgbAndGetWin) {
    run("win::Vred; win::Vblue; win::Vgray; win::VK_F24; win::VK_RMENU; win::WM_MBUTTONDBLCLK; win::typeContourMap;"
        "win::Vsdot; win::Vinsideframe; win::Adotsmax; win::Iaxisshape;"
        "win::RGB(255, 0, 0) == win::Vred; win::RGB(0, 0, 255); win::RGB(300, 0, 0); win::GetWin(win::hChartWnd)");
    EXPECT_EQ(out(), "255\n16711680\n8355711\n135\n165\n521\n7\n11\n6\n39\n26\ntrue\n16711680\n300\nwindow 0\n");
}

TEST_F(WinExt, PlotFunctionsRefuseAndCwFunctionsNeedTheChartThread) {
    run("win::cwAddCurve(); win::cwGetType(); win::cwSetTitle(\"x\"); win::cwAddPoint2D(1.0, 2.0);"
        "win::SaveChart(\"/tmp/qo_no_window.png\"); win::CloseChart()");
    EXPECT_EQ(out(), "0\n-1\nfalse\n-1\nfalse\nfalse\n");
    run("win::Plot(1)");
    EXPECT_NE(out().find("win::Plot，错误代码：99"), std::string::npos) << out();
    run("win::ChartWnd(1)");
    EXPECT_NE(out().find("win::ChartWnd，错误代码：1"), std::string::npos) << out();
}

TEST_F(WinExt, InitRunsOnTheChartThreadAfterTheScriptAndDraws) {
    std::string file = testing::TempDir() + "qo_win_init.png";
    run("init(: x, y, i) = x = new(reals, 50), y = new(reals, 50), i = 0,"
        "  while(i < 50, oset(x, i, itor(i)), oset(y, i, sin(itor(i) / 5.0)), i++),"
        "  win::cwSetTitle(\"初始化\"), win::cwAddCurve(x, y, 50), win::cwGetType(),"
        "  o(\"ids \", win::cwAddCurve(x, y, 50), \" \", win::cwGetIndex(2), \" \", win::cwGetDataID(0), \"\\r\\n\"),"
        "  o(\"saved \", win::SaveChart(\"" + file + "\", 320, 240), \"\\r\\n\");"
        "w = win::ChartWnd(@init); o(\"main \", win::cwGetType(), \"\\r\\n\"); win::GetWin(win::hChartWnd)");
    EXPECT_NE(out().find("main -1"), std::string::npos);  // the init function has not run yet
    EXPECT_NE(out().find("window 1"), std::string::npos);
    wait(1);
    EXPECT_NE(out().find("ids 2 1 1"), std::string::npos) << out();
    EXPECT_NE(out().find("saved true"), std::string::npos) << out();
    QImage img(QString::fromStdString(file));
    ASSERT_EQ(img.size(), QSize(320, 240));
    EXPECT_EQ(topLevel("ChartWnd"), nullptr);  // closed after its callbacks
}

TEST_F(WinExt, ArgumentErrorsInsideCallbacks) {
    run("f() = 1;"
        "init() = win::cwSetVKFor(166, @f), win::cwSetMouseFor(511, @f), win::cwAddCurve(1, 2, 3),"
        "  win::cwAddCurve(new(reals, 1, 5), new(reals, 5), 5), win::cwAttach(10), win::cwSetTimer(@f, 0),"
        "  win::cwSetFieldFcn(@f), o(\"inner \", sys::isnil(win::ChartWnd(@f)), \"\\r\\n\");"
        "win::ChartWnd(@init)");
    wait(1);
    std::string o = out();
    // The first error of a callback wins, so each is its own window.
    EXPECT_NE(o.find("win::cwSetVKFor，错误代码：1"), std::string::npos) << o;
    run("f() = 1; init() = win::cwSetMouseFor(511, @f); win::ChartWnd(@init)");
    wait(1);
    EXPECT_NE(out().find("win::cwSetMouseFor，错误代码：1"), std::string::npos) << out();
    run("init() = win::cwAddCurve(new(reals, 1, 5), new(reals, 5), 5); win::ChartWnd(@init)");
    wait(1);
    EXPECT_NE(out().find("win::cwAddCurve，错误代码：2"), std::string::npos) << out();
    run("f() = 1; init() = win::cwSetFieldFcn(@f); win::ChartWnd(@init)");
    wait(1);
    EXPECT_NE(out().find("win::cwSetFieldFcn，错误代码：2"), std::string::npos) << out();
    run("f() = 1; init() = o(\"inner \", sys::isnil(win::ChartWnd(@f)), \"\\r\\n\"); win::ChartWnd(@init)");
    wait(1);
    EXPECT_NE(out().find("inner true"), std::string::npos) << out();
}

TEST_F(WinExt, KeysMouseAndTheBusyRule) {
    run("onA() = o(\"key A\\r\\n\"); onClick() = o(\"click\\r\\n\"); onDouble() = o(\"double\\r\\n\");"
        "init() = win::cwSetVKFor(65, @onA), win::cwSetMouseFor(win::WM_LBUTTONDOWN, @onClick),"
        "  win::cwSetMouseFor(win::WM_LBUTTONDBLCLK, @onDouble), o(\"ready\\r\\n\");"
        "win::ChartWnd(@init)");
    ASSERT_TRUE(outputHas("ready"));
    onCanvas([](QWidget* c) { QTest::keyClick(c, Qt::Key_A); });
    ASSERT_TRUE(outputHas("key A"));
    onCanvas([](QWidget* c) { QTest::mouseClick(c, Qt::LeftButton, {}, QPoint(50, 50)); });
    ASSERT_TRUE(outputHas("click"));
    onCanvas([](QWidget* c) { QTest::mouseDClick(c, Qt::LeftButton, {}, QPoint(50, 50)); });
    ASSERT_TRUE(outputHas("double"));
    onCanvas([](QWidget* c) { QTest::keyClick(c, Qt::Key_B); });  // no handler: only a redraw
    // While another thread holds the work area, events are skipped, not queued.
    ASSERT_EQ(UseQo(2), 0);
    onCanvas([](QWidget* c) { QTest::keyClick(c, Qt::Key_A); });
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(UseQo(0), 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(count(out(), "key A"), 1u);
    wait(0);
}

TEST_F(WinExt, ExeMessageAndTimerDialogFromF2) {
    run("exe() = o(\"exe\\r\\n\"); tick() = o(\"tick\\r\\n\");"
        "init() = win::cwSetExe(@exe), win::cwSetTimer(@tick), o(\"ready\\r\\n\");"
        "win::ChartWnd(@init)");
    ASSERT_TRUE(outputHas("ready"));
    run("win::cwSetExeMsg()");
    ASSERT_TRUE(outputHas("exe"));
    onCanvas([](QWidget* c) { QTest::keyClick(c, Qt::Key_F2); });
    auto* dialog = topLevel<QDialog>("DlgChartWndTimer");
    ASSERT_NE(dialog, nullptr);
    onGui([&] {
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("ChartWnd 计时器设置"));
        auto* edit = dialog->findChild<QLineEdit*>("552");
        EXPECT_EQ(edit->text(), "500");
        edit->setText("10");
        dialog->findChild<QPushButton*>("553")->click();
    });
    ASSERT_TRUE(waitFor([] { return count(out(), "tick") >= 3; }));
    onGui([&] { dialog->findChild<QPushButton*>("554")->click(); });
    std::this_thread::sleep_for(60ms);
    size_t ticks = count(out(), "tick");
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(count(out(), "tick"), ticks);
    EXPECT_EQ(count(out(), "key"), 0u);  // F2 is not a key callback
}

TEST_F(WinExt, ASecondWindowStartsWithAnEmptyHandlerTable) {
    run("onA() = o(\"first A\\r\\n\"); init() = win::cwSetVKFor(65, @onA), o(\"one\\r\\n\"); win::ChartWnd(@init)");
    ASSERT_TRUE(outputHas("one"));
    run("init2() = o(\"two\\r\\n\"); win::ChartWnd(@init2)");
    ASSERT_TRUE(outputHas("two"));
    onCanvas([](QWidget* c) { QTest::keyClick(c, Qt::Key_A); });
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(out().find("first A"), std::string::npos);
}

TEST_F(WinExt, InitFunctionDeletedBeforeItRuns) {
    // The module that defines the init function goes away while the window
    // waits for the work area: the init request is dropped, nothing runs.
    std::u16string text = u"init() = o(\"never\\r\\n\"); win::ChartWnd(@init)";
    intptr_t cookie = 0;
    void* module = nullptr;
    int begin = 0, end = 0;
    UseQo(2);
    ASSERT_EQ(ComModule(text.c_str(), &cookie, &module, &begin, &end), 0);
    ExeModule(module, &printer);
    DelModule(module);
    UseQo(0);
    wait(1);
    EXPECT_EQ(out().find("never"), std::string::npos);
}

TEST_F(WinExt, HundredWindowsOpenAndClose) {
    auto start = std::chrono::steady_clock::now();
    run("init() = win::cwAddCurve(); i = 0; while(i < 100, win::ChartWnd(@init), i++); i");
    wait(1);
    EXPECT_NE(out().find("100"), std::string::npos);
    EXPECT_EQ(topLevel("ChartWnd"), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

TEST_F(WinExt, InitThatRaisesOrLoopsEnds) {
    run("init() = o(\"before\\r\\n\"), 1 / 0, o(\"after\\r\\n\"); win::ChartWnd(@init)");
    wait(1);
    EXPECT_NE(out().find("before"), std::string::npos);
    EXPECT_NE(out().find("运行错误：/"), std::string::npos) << out();
    // A looping init function is stopped the way Ctrl-C stops it in qo.
    run("spin() = o(\"spinning\\r\\n\"), while(true, 1); win::ChartWnd(@spin)");
    std::thread interrupter([] {
        outputHas("spinning");
        std::this_thread::sleep_for(50ms);
        int presses = 0;
        exMsg(8, &presses, nullptr, nullptr);
    });
    wait(1);
    interrupter.join();
    exMsg(8, nullptr, nullptr, nullptr);
    EXPECT_NE(out().find("QoInterrupt"), std::string::npos) << out();
}

TEST_F(WinExt, FieldFunctionDrawsAContourMap) {
    std::string file = testing::TempDir() + "qo_win_field.png";
    run("g(x, y) = x * x - y * y;"
        "init() = win::cwSetType(win::typeContourMap), win::cwSetContourPrecision(40), win::cwSetFieldFcn(@g),"
        "  o(\"saved \", win::SaveChart(\"" + file + "\", 300, 300), \"\\r\\n\");"
        "win::ChartWnd(@init)");
    wait(1);
    EXPECT_NE(out().find("saved true"), std::string::npos) << out();
    QImage img(QString::fromStdString(file));
    ASSERT_FALSE(img.isNull());
    // The saddle: warm colours left and right of the centre, cold ones above and below.
    QColor left = img.pixelColor(90, 150), top = img.pixelColor(175, 40);
    EXPECT_GT(left.red(), left.blue());
    EXPECT_GT(top.blue(), top.red());
}

TEST_F(WinExt, MessageBoxAnswersAndErrors) {
    run("win::MessageBox(\"a\"); win::MessageBox(1, \"a\", \"b\", 0); win::MessageBox(\"a\", 2)");
    EXPECT_EQ(count(out(), "win::MessageBox，错误代码：1"), 1u) << out();
    std::thread script([this] { run("win::MessageBox(\"要继续吗？\", \"问题\", 4 + 32)"); });
    QMessageBox* box = nullptr;
    ASSERT_TRUE(waitFor([&] { return (box = topLevel<QMessageBox>("QoMessageBox")) != nullptr; }));
    onGui([&] {
        EXPECT_EQ(box->text(), QStringLiteral("要继续吗？"));
        box->button(QMessageBox::No)->click();
    });
    script.join();
    EXPECT_NE(out().find("\n7\n"), std::string::npos) << out();
}

TEST_F(WinExt, FileDialogCancelled) {
    run("win::GetFileName(1, 2)");
    EXPECT_NE(out().find("win::GetFileName，错误代码：1"), std::string::npos);
    std::thread script([this] { run("o(\"[\", win::GetFileName(\"选择\"), \"]\")"); });
    QFileDialog* dialog = nullptr;
    ASSERT_TRUE(waitFor([&] { return (dialog = topLevel<QFileDialog>("QoFileDialog")) != nullptr; }));
    onGui([&] {
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("选择"));
        dialog->reject();
    });
    script.join();
    EXPECT_NE(out().find("[]"), std::string::npos) << out();
}

TEST_F(WinExt, FunTimerStopsWhenItsFunctionAnswersFalse) {
    run("~ftick() = o(\"ft\\r\\n\"), false; win::FunTimer()");
    auto* dialog = topLevel<QDialog>("DlgFunTimer");
    ASSERT_NE(dialog, nullptr);
    onGui([&] {
        EXPECT_EQ(dialog->findChild<QLineEdit*>("33")->text(), "1000");
        dialog->findChild<QLineEdit*>("33")->setText("5");
        dialog->findChild<QLineEdit*>("35")->setText("ftick");
        dialog->findChild<QPushButton*>("36")->click();
    });
    ASSERT_TRUE(outputHas("ft"));
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(count(out(), "ft"), 1u);
    // Opening it again keeps the settings.
    run("win::FunTimer()");
    dialog = topLevel<QDialog>("DlgFunTimer");
    ASSERT_NE(dialog, nullptr);
    onGui([&] { EXPECT_EQ(dialog->findChild<QLineEdit*>("35")->text(), "ftick"); });
}

TEST_F(WinExt, FunTimerTickWhileTheWorkAreaIsBusyShowsTheBusyMessage) {
    run("~fbusy() = o(\"ran\\r\\n\"); win::FunTimer()");
    auto* dialog = topLevel<QDialog>("DlgFunTimer");
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(UseQo(2), 0);  // this thread holds the work area
    onGui([&] {
        dialog->findChild<QLineEdit*>("39")->setText("5");
        dialog->findChild<QLineEdit*>("41")->setText("fbusy");
        dialog->findChild<QPushButton*>("42")->click();
    });
    QMessageBox* box = nullptr;
    EXPECT_TRUE(waitFor([&] {
        onGui([&] { box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); });
        return box != nullptr;
    }));
    if (box) {
        onGui([&] {
            EXPECT_EQ(box->windowTitle(), QStringLiteral("QoWin::FunTimer"));
            EXPECT_EQ(box->text(), QStringLiteral("Qo工作区被占用或程序即将关闭，无法执行这项操作！"));
            dialog->findChild<QPushButton*>("51")->click();  // stop all
            box->close();
        });
    }
    ASSERT_EQ(UseQo(0), 0);
    EXPECT_EQ(out().find("ran"), std::string::npos);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qo::testing::prepareQtEnvironment();
    return RUN_ALL_TESTS();
}
