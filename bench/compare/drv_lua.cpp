// Lua 5.4 and LuaJIT (built from this file with -DQO_LUAJIT; argv[3] "off"
// switches the JIT off with luaJIT_setmode). The host formula is a compiled
// closure with cached math locals, called with lua_pcall.
#include <string>

#include "driver.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
#ifdef QO_LUAJIT
#include <luajit.h>
#endif
}

using namespace bench;

namespace {

bool load(lua_State* L, const std::string& chunk) {
    if (luaL_loadstring(L, chunk.c_str()) != 0 || lua_pcall(L, 0, 1, 0) != 0) {
        std::fprintf(stderr, "lua: %s\n", lua_tostring(L, -1));
        return false;
    }
    return true;   // leaves the chunk's result (a function) on the stack
}

int callRow(lua_State* L, const char* chunk, long n, bool real) {
    if (!load(L, chunk)) return failed("load");
    lua_pushinteger(L, n);
    Timer t;
    if (lua_pcall(L, 1, 1, 0) != 0) return failed("run");
    long long ns = t.ns();
    if (real) return report(lua_tonumber(L, -1), ns);
    return reportInt(static_cast<long long>(lua_tointeger(L, -1)), ns);
}

int formulaRow(lua_State* L, long n) {
    if (!load(L, "local sin, cos, sqrt, exp = math.sin, math.cos, math.sqrt, math.exp\n"
                 "return function(x, y) return sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x) end"))
        return failed("load");
    int f = lua_gettop(L);
    double s = 0;
    Timer t;
    for (long i = 0; i < n; ++i) {
        lua_pushvalue(L, f);
        lua_pushnumber(L, argX(i));
        lua_pushnumber(L, argY(i));
        if (lua_pcall(L, 2, 1, 0) != 0) return failed("run");
        s += lua_tonumber(L, -1);
        lua_pop(L, 1);
    }
    return report(s, t.ns());
}

int compileRow(lua_State* L, long terms) {
    std::string chunk = "return function(x) return " + compileExpression(terms) + " end";
    long reps = compileRepeats(terms);
    if (luaL_loadstring(L, chunk.c_str()) != 0) return failed("load");  // warm-up
    lua_pop(L, 1);
    Timer t;
    for (long r = 0; r < reps; ++r) {
        if (luaL_loadstring(L, chunk.c_str()) != 0) return failed("load");
        if (r + 1 < reps) lua_pop(L, 1);
    }
    long long ns = t.ns() / reps;
    if (lua_pcall(L, 0, 1, 0) != 0) return failed("run");
    lua_pushnumber(L, kCompileX);
    if (lua_pcall(L, 1, 1, 0) != 0) return failed("run");
    return report(lua_tonumber(L, -1), ns);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return failed("usage");
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
#ifdef QO_LUAJIT
    if (argc > 3 && std::string(argv[3]) == "off") luaJIT_setmode(L, 0, LUAJIT_MODE_ENGINE | LUAJIT_MODE_OFF);
#endif
    long n = std::atol(argv[2]);
    int rc;
    switch (parseWorkload(argv[1])) {
    case Workload::kFib:
        rc = callRow(L, "local function fib(n) if n < 2 then return n end return fib(n-1) + fib(n-2) end\n"
                        "return fib", n, false);
        break;
    case Workload::kIntLoop:
        rc = callRow(L, "return function(n) local s = 0 for i = 1, n do s = s + i*i end return s end", n, false);
        break;
    case Workload::kRealLoop:
        rc = callRow(L, "local sin = math.sin\n"
                        "return function(n) local s = 0.0 for i = 1, n do s = s + sin(i*0.001) end return s end",
                     n, true);
        break;
    case Workload::kFormula: rc = formulaRow(L, n); break;
    case Workload::kCompile: rc = compileRow(L, n); break;
    // Lua interns short strings: "ab" .. k makes a new, distinct one each time.
    case Workload::kStrings:
        rc = callRow(L, "return function(n) local t = {} for k = 1, n do t[k] = \"ab\" .. k end return #t end", n, false);
        break;
    case Workload::kConcat:
        rc = callRow(L, "return function(n) local s = \"\" for k = 1, n do s = s .. \"x\" end return #s end", n, false);
        break;
    case Workload::kTemporaries:
        rc = callRow(L, "return function(n) local s for k = 1, n do s = \"ab\" .. k end return n end", n, false);
        break;
    default: rc = failed("workload");
    }
    lua_close(L);
    return rc;
}
