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

// Keys made by one call (untimed); then the dictionary is filled and read,
// and one of the two is timed.
int dictRow(lua_State* L, long n, bool lookup) {
    if (!load(L, "return function(n) local k = {} for i = 0, n - 1 do k[i + 1] = 'k' .. i end return k end"))
        return failed("load");
    lua_pushinteger(L, n);
    if (lua_pcall(L, 1, 1, 0) != 0) return failed("keys");
    int keys = lua_gettop(L);
    if (!load(L, "return function(k, n) local d = {} for i = 1, n do d[k[i]] = i - 1 end return d end"))
        return failed("load");
    lua_pushvalue(L, keys);
    lua_pushinteger(L, n);
    Timer fill;
    if (lua_pcall(L, 2, 1, 0) != 0) return failed("run");
    long long fillNs = fill.ns();
    int dict = lua_gettop(L);
    if (!lookup) {
        lua_Integer count = 0;
        lua_pushnil(L);
        while (lua_next(L, dict)) {
            ++count;
            lua_pop(L, 1);
        }
        return reportInt(count, fillNs);
    }
    if (!load(L, "return function(d, k, n) local s = 0 for i = 1, n do s = s + d[k[i]] end return s end"))
        return failed("load");
    lua_pushvalue(L, dict);
    lua_pushvalue(L, keys);
    lua_pushinteger(L, n);
    Timer t;
    if (lua_pcall(L, 3, 1, 0) != 0) return failed("run");
    long long ns = t.ns();
    return reportInt(static_cast<long long>(lua_tointeger(L, -1)), ns);
}

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
    case Workload::kStructField:
        rc = callRow(L, "return function(n) local p = {x = 3} local s = 0 for i = 1, n do s = s + p.x end return s end",
                     n, false);
        break;
    case Workload::kObjField:
        rc = callRow(L, "local C = {} C.__index = C\n"
                        "return function(n) local p = setmetatable({x = 3}, C) local s = 0 "
                        "for i = 1, n do s = s + p.x end return s end",
                     n, false);
        break;
    case Workload::kMethod:
        rc = callRow(L, "local C = {} C.__index = C function C.get(self) return 3 end\n"
                        "return function(n) local p = setmetatable({}, C) local s = 0 "
                        "for i = 1, n do s = s + p:get() end return s end",
                     n, false);
        break;
    case Workload::kDictInsert: rc = dictRow(L, n, false); break;
    case Workload::kDictLookup: rc = dictRow(L, n, true); break;
    default: rc = failed("workload");
    }
    lua_close(L);
    return rc;
}
