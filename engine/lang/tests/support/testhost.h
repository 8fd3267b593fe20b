// testhost.h - a host for language tests: compiles a text with QoCom, runs it
// with QoCal and renders what came back as the front-end would print it.
//
// Renderings:
//   a result            nil | int | real ("%.16g", ".0" added to plain digits) |
//                       {re$im} | {x$y$z} (negative parts in parentheses) |
//                       true | false | the text of a string | "\r\n不可识别类型！\r\n"
//   a compile error     "error CODE at BEGIN..END"
//   a run error         "run error NAME CODE"
//   a definition        "ok" (compiled, has parameters, not run)
//   with captureOutput  "[TEXT] " before the rendering: what the run printed
//                       through the host output function (key type 256)
// Each Host owns a fresh engine (InitQo ... FreeQo); texts compiled through one
// Host see each other's functions.
#pragma once
#include <string>
#include <string_view>

#include "qo32.h"

namespace qo::test {

std::string render(const QoValue& v);

struct CompileOptions {
    int module = 1;
    bool autoVars = false;
    bool captureOutput = false;   // install an output function for the run
};

class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Compiles; returns "" on success (handle in *h) or the error rendering.
    std::string compile(std::string_view utf8, QoHandle* h, int* maxParam = nullptr,
                        CompileOptions opt = {});
    // Compiles and, for a text without parameters, runs: the rendering above.
    std::string run(std::string_view utf8, CompileOptions opt = {});
    // Runs a compiled function on args; the rendering of the result or error.
    std::string call(QoHandle h, QoValue* args);
};

// Reads and clears the run-error slot: "" or "run error NAME CODE".
std::string takeRunError();

}  // namespace qo::test
