/* mqo32.h - the module manager MQo32 (libMQo32.so).
 *
 * The manager owns the engine for a host: it loads libqo32.so with dlopen
 * (beside itself first, then on the library search path), starts it, loads
 * extension libraries, and compiles and runs modules - whole script texts made
 * of items separated by ';'. Hosts call it from one thread and bracket engine
 * work with UseQo (below). Nothing here throws.
 *
 * Module text
 *   - Comments "// ..." (to the end of the line) and nesting block comments
 *     (slash-star ... star-slash) are blanked out first, line breaks kept, so every error position points
 *     into the text as given. An unpaired opener or closer is code -4.
 *   - The text is split at ';' outside brackets and string literals; empty
 *     items are skipped. An item is a directive ("#USE# name"), a definition
 *     (a text with a header, "f(x) = ..."), a declaration (a whole item that is
 *     a call of Module, OutFun or using) or an expression. Items are compiled
 *     one by one, in order, each with QoCom; a name must be defined before the
 *     item that uses it.
 *   - Every ComModule makes a module with a fresh module number m, locked to
 *     the manager (LockModule), so nobody else compiles into it. Definitions are
 *     private to the module (compiled with -m); a leading '~' makes one public
 *     (+m). Expressions are compiled with -m and with automatic variables: an
 *     undefined plain name assigned in an expression becomes a module variable
 *     of m (a definition reaches it by listing it in its third header section,
 *     "f(x : : n) = x + n"); definitions get no automatic variables.
 *   - Declarations run at once, when they are compiled: "Module("B")" names the
 *     module, "OutFun("f", ...)" exports functions defined before it, and
 *     "using("B", ...)" lets the following items call B's exports unqualified.
 *     So a module that another one uses has named itself and exported its
 *     functions before the using module's next item is compiled, and
 *     "B::f(1)" compiles there. The result of a declaration (0 when it worked)
 *     is printed when the module runs, in its place among the expressions.
 *   - "#USE# name" (the name optionally in double quotes) at the start of an
 *     item or of a line is an item of its own up to the end of its line (or a
 *     ';' before it); it asks the host to load
 *     the module `name` before the rest is compiled, through the callback under
 *     "mqoLoadModule": -3 when no callback is registered, -5 when the name is
 *     missing, otherwise the callback's code (-6 not found, -7 recursive use,
 *     or the used module's compile code).
 *
 * Keys the manager reads (inserted by the host, Qo key table):
 *   - 4 zero bytes, key type 256: the output function, void(const char16_t*).
 *   - "mqoLoadModule" (13 bytes), key type 256: int(const char16_t* name).
 *   - "mqoErrStr" (9 bytes), key type -256: the value is the key type (as an
 *     integer in the pointer) under which run-error texts are stored, keyed by
 *     the failing function's name (UTF-16 bytes).
 *   - "mqoMsgOut" (9 bytes), key type 256, optional: void(const char16_t*),
 *     where the manager's own messages (run errors, extension load failures)
 *     go; without it they go to the output function.
 * The key it publishes: "UseQo" (5 bytes), key type -256, value = UseQo.
 */
#ifndef MQO32_H
#define MQO32_H

#include <stdint.h>

#include "qo32.h"

#if defined(MQO_BUILDING)
#define MQO_API __attribute__((visibility("default")))
#else
#define MQO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Every run-error message of ExeModule starts with "\r\n" and this text (a
 * warning with MQO_RUN_WARNING_PREFIX), so a host can tell it from output. */
#define MQO_RUN_ERROR_PREFIX u"运行错误："
#define MQO_RUN_WARNING_PREFIX u"运行警告："

typedef void (*MqoPrinter)(QoValue* value);
typedef int (*MqoLoadModuleFn)(const char16_t* name);

/* Loads and starts the engine (again from scratch when it was running) and
 * publishes "UseQo". Non-zero = ready, 0 = failed. */
MQO_API int InitMQo(void);
/* Unloads every extension (QoDll32 with flag 0), deletes every module, stops
 * and unloads the engine. */
MQO_API void FreeMQo(void);
/* The dlopen handle of libqo32.so, null before InitMQo. */
MQO_API void* GetQoHandle(void);

/* Unloads the extensions loaded before, then loads those that `text` names:
 * names separated by blanks, tabs, line breaks or commas, quoted or not (a
 * quoted name may hold blanks). Each is libNAME.so beside the manager, else on
 * the library search path; a name holding a '/' is the path of the library
 * file itself, named after its file name without "lib" and ".so". Its QoDll32
 * is called with flag 1; a second library of the same name is skipped. A library that is missing, lacks QoDll32 or
 * refuses to load is reported and skipped. */
MQO_API void LoadDll(const char16_t* text);
/* Unloads every extension loaded by LoadDll. */
MQO_API void FreeDll(void);

/* The work area guard; one holder (a thread) at a time.
 *   2  acquire: 0 acquired; 1 busy (held by this or another thread).
 *   0  release: 0 released; 1 refused (the caller does not hold it, or a
 *      callback stretch opened with 3 is still open).
 *   3  open a callback stretch: a callback running inside a script (or any
 *      code) is about to touch the engine. If the calling thread holds the
 *      work area the stretch nests (0); if nobody holds it, the stretch
 *      acquires it and the matching 4 releases it again (0); if another thread
 *      holds it: 1, and no stretch is opened (the caller must skip its work).
 *   4  close the innermost stretch of the calling thread: 0; 1 when none is
 *      open.
 *   other commands: -1. */
MQO_API int UseQo(int command);

/* Compiles `source` as one module. *cookie and *module are in/out:
 *   - *cookie == 0 (or not naming the live module in *module): a new module;
 *     on success *module is its handle and *cookie its module number.
 *   - *cookie == the number of the live module *module: the text is added to
 *     that module (a session: the interactive loop compiles each entry so).
 *     The expressions of the previous text are dropped, a definition whose
 *     name the module already defines replaces the old one, and on an error
 *     the items of this text are removed again while the module stays.
 * Result 0 or the code of the first failing item: 1..39, -2 from QoCom;
 * -1 the manager is not ready or an argument is null; -3..-7 as above.
 * *errBegin and *errEnd are positions (UTF-16 units) in `source`. On an error
 * a new module is deleted and *module set to null. */
MQO_API int ComModule(const char16_t* source, intptr_t* cookie, void** module, int* errBegin,
                      int* errEnd);
/* Runs the module's expressions in order and hands each result to `printer`
 * (a declaration hands over the result it had when it ran). At the first run
 * error one message is printed - the error's name, code and the compiled
 * function it happened in, then the run-error text registered for that name -
 * and the run stops. A warning is printed the same way and the run goes on.
 * An unknown handle does nothing. */
MQO_API void ExeModule(void* module, MqoPrinter printer);
/* Deletes the module's functions and its module record. An unknown handle, or
 * a module that is running, is left alone. */
MQO_API void DelModule(void* module);
/* Where the last run error happened (an addition to the original interface): the
 * module whose text holds the failing operator or called name, that text as it
 * was compiled (owned by the manager, valid while the module lives) and the
 * first and last unit of the span in it. Returns 1, or 0 (nothing written) when
 * the engine knows no place or the function is not one of a live module's. */
MQO_API int MqoRunErrorPlace(void** module, const char16_t** text, int* begin, int* end);

#ifdef __cplusplus
}
#endif

#endif /* MQO32_H */
