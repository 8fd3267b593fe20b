// math_host.h - a test host: a fresh engine with the math extension loaded,
// texts compiled and run, and their results rendered as one line.
//
// The engine and the extension are linked into the test program; the
// extension binds the engine's exports from the program itself, exactly as it
// binds them from libqo32.so in a host. Renderings:
//   nil | int | real (shortest text that reads back the same double; "nan"
//   for every NaN) | true |
//   false | a string's text | a math array "DxD[r0c0 r0c1; r1c0 ...]" (rows
//   are the last dimension; a plain reals object gets the prefix "reals ") |
//   "run error NAME CODE" | "error CODE at B..E" (compile) | "ok" (a
//   definition, not run) | "[PRINTED] RESULT" when output is captured.
#pragma once
#include <string>

#include "qo32.h"

extern "C" int QoDll32(void* engine, int flag, void* reserved);

namespace qo::mathtest {

std::string render(const QoValue& v);
std::string realText(double v);
// Reads and clears the run-error slot: "" or "run error NAME CODE".
std::string takeRunError();
// The key type that the loaded extension claimed (math::real_s), or 0.
int mathKeyType();

class Engine {
public:
    // A fresh engine, with the extension loaded unless `load` is false.
    explicit Engine(bool load = true);
    ~Engine();
    bool load();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    bool loaded() const { return loaded_ == 1; }
    // Compiles `utf8` (module variables made automatically) and runs it when
    // it has no parameters; returns the rendering.
    std::string run(const std::string& utf8, bool captureOutput = false);
    // Compiles and runs; the raw result (nil after an error, which stays set).
    QoValue eval(const std::string& utf8);

private:
    void* self_ = nullptr;
    int loaded_ = 0;
};

}  // namespace qo::mathtest
