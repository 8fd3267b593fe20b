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

int compileRow(lua_State* L, long terms, bool real) {
    std::string chunk = "return function(x) return " + compileExpression(terms, real) + " end";
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

// The math workloads as plain Lua: flat arrays (tables from 1) of numbers,
// the same algorithms as QoMath32; every run makes its result table.
const char* kMathLua = R"(
local sin, abs = math.sin, math.abs
local function product(a, b, n)
  local bt, c = {}, {}
  for i = 0, n - 1 do for j = 0, n - 1 do bt[j * n + i + 1] = b[i * n + j + 1] end end
  for i = 0, n - 1 do
    local ai = i * n
    for j = 0, n - 1 do
      local bj, s = j * n, 0.0
      for k = 1, n do s = s + a[ai + k] * bt[bj + k] end
      c[ai + j + 1] = s
    end
  end
  return c
end
local function invert(a, n)
  local rp, cp = {}, {}
  for k = 0, n - 1 do
    local best = 0.0
    rp[k], cp[k] = k, k
    for i = k, n - 1 do for j = k, n - 1 do
      local v = abs(a[i * n + j + 1])
      if v > best then best, rp[k], cp[k] = v, i, j end
    end end
    if best + 1.0 == 1.0 then return false end
    if rp[k] ~= k then for j = 0, n - 1 do
      local x, y = k * n + j + 1, rp[k] * n + j + 1
      a[x], a[y] = a[y], a[x] end end
    if cp[k] ~= k then for i = 0, n - 1 do
      local x, y = i * n + k + 1, i * n + cp[k] + 1
      a[x], a[y] = a[y], a[x] end end
    local kk = k * n + k + 1
    a[kk] = 1.0 / a[kk]
    local d = a[kk]
    for j = 0, n - 1 do if j ~= k then a[k * n + j + 1] = a[k * n + j + 1] * d end end
    for i = 0, n - 1 do if i ~= k then
      local f = a[i * n + k + 1]
      for j = 0, n - 1 do if j ~= k then
        a[i * n + j + 1] = a[i * n + j + 1] - f * a[k * n + j + 1] end end
    end end
    for i = 0, n - 1 do if i ~= k then a[i * n + k + 1] = -a[i * n + k + 1] * d end end
  end
  for k = n - 1, 0, -1 do
    if cp[k] ~= k then for j = 0, n - 1 do
      local x, y = k * n + j + 1, cp[k] * n + j + 1
      a[x], a[y] = a[y], a[x] end end
    if rp[k] ~= k then for i = 0, n - 1 do
      local x, y = i * n + k + 1, i * n + rp[k] + 1
      a[x], a[y] = a[y], a[x] end end
  end
  return true
end
return function(work, a, b, n, count)
  if work == "matmul" then return product(a, b, n) end
  if work == "inverse" then
    local c = {}
    for i = 1, count do c[i] = a[i] end
    invert(c, n)
    return c
  end
  local c = {}
  if work == "add" then for i = 1, count do c[i] = a[i] + b[i] end
  elseif work == "sin" then for i = 1, count do c[i] = sin(a[i]) end
  else local f = function(x) return x * x + 1.0 end
    for i = 1, count do c[i] = f(a[i]) end end
  return c
end
)";

int mathRow(lua_State* L, const char* work, long n) {
    if (!load(L, kMathLua)) return failed("load");
    int fn = lua_gettop(L);
    bool square = !std::strcmp(work, "matmul") || !std::strcmp(work, "inverse");
    bool inverse = !std::strcmp(work, "inverse");
    long count = square ? n * n : n;
    lua_createtable(L, static_cast<int>(count), 0);
    lua_createtable(L, static_cast<int>(count), 0);
    for (long k = 0; k < count; ++k) {
        double a = square ? matA(k / n, k % n) + (inverse && k / n == k % n ? n : 0) : vecA(k);
        lua_pushnumber(L, a);
        lua_rawseti(L, fn + 1, k + 1);
        lua_pushnumber(L, square ? matB(k / n, k % n) : vecB(k));
        lua_rawseti(L, fn + 2, k + 1);
    }
    bool callback = !std::strcmp(work, "arrayfun");
    long reps = callback || square ? 1 : mathRepeats(n);  // one run of the slow ones is long enough
    Timer t;
    for (long r = 0; r < reps; ++r) {
        lua_settop(L, fn + 2);
        lua_pushvalue(L, fn);
        lua_pushstring(L, work);
        lua_pushvalue(L, fn + 1);
        lua_pushvalue(L, fn + 2);
        lua_pushinteger(L, n);
        lua_pushinteger(L, count);
        if (lua_pcall(L, 5, 1, 0) != 0) return failed("run");
    }
    long long ns = t.ns() / reps;
    double s = 0;
    for (long k = 0; k < count; ++k) {
        lua_rawgeti(L, -1, k + 1);
        s += lua_tonumber(L, -1);
        lua_pop(L, 1);
    }
    return report(s, ns);
}

// The script matrix rows: the product and the inverse of drv_native.cpp in
// plain Lua over tables of rows (a[i][j], from 1), with the same order of
// every operation; the inputs are built untimed, the result made in the run.
const char* kScriptMatrixLua = R"(
local abs = math.abs
local function product(a, b, n)
  local c = {}
  for i = 1, n do
    c[i] = {}
    for j = 1, n do
      local s = 0.0
      for k = 1, n do s = s + a[i][k] * b[k][j] end
      c[i][j] = s
    end
  end
  return c
end
local function inverse(a, n)
  local c, rp, cp = {}, {}, {}
  for i = 1, n do
    c[i] = {}
    for j = 1, n do c[i][j] = a[i][j] end
  end
  for k = 1, n do
    local best, pr, pc = 0.0, k, k
    for i = k, n do for j = k, n do
      local v = abs(c[i][j])
      if v > best then best, pr, pc = v, i, j end
    end end
    if best + 1.0 == 1.0 then return c end
    rp[k], cp[k] = pr, pc
    if pr ~= k then for j = 1, n do c[k][j], c[pr][j] = c[pr][j], c[k][j] end end
    if pc ~= k then for i = 1, n do c[i][k], c[i][pc] = c[i][pc], c[i][k] end end
    c[k][k] = 1.0 / c[k][k]
    local d = c[k][k]
    for j = 1, n do if j ~= k then c[k][j] = c[k][j] * d end end
    for i = 1, n do if i ~= k then
      local f = c[i][k]
      for j = 1, n do if j ~= k then c[i][j] = c[i][j] - f * c[k][j] end end
    end end
    for i = 1, n do if i ~= k then c[i][k] = -c[i][k] * d end end
  end
  for k = n, 1, -1 do
    local pr, pc = rp[k], cp[k]
    if pc ~= k then for j = 1, n do c[k][j], c[pc][j] = c[pc][j], c[k][j] end end
    if pr ~= k then for i = 1, n do c[i][k], c[i][pr] = c[i][pr], c[i][k] end end
  end
  return c
end
return function(work, a, b, n)
  if work == "smatmul" then return product(a, b, n) end
  return inverse(a, n)
end
)";

// A table of n rows of n numbers value(i, j) (+ n on the diagonal when shifted).
void pushMatrix(lua_State* L, long n, double (*value)(long, long), bool shifted) {
    lua_createtable(L, static_cast<int>(n), 0);
    for (long i = 0; i < n; ++i) {
        lua_createtable(L, static_cast<int>(n), 0);
        for (long j = 0; j < n; ++j) {
            lua_pushnumber(L, value(i, j) + (shifted && i == j ? static_cast<double>(n) : 0.0));
            lua_rawseti(L, -2, j + 1);
        }
        lua_rawseti(L, -2, i + 1);
    }
}

int scriptMatrixRow(lua_State* L, const char* work, long n) {
    if (!load(L, kScriptMatrixLua)) return failed("load");
    bool inverse = !std::strcmp(work, "sinverse");
    lua_pushstring(L, work);
    pushMatrix(L, n, matA, inverse);
    pushMatrix(L, n, matB, false);
    lua_pushinteger(L, n);
    Timer t;
    if (lua_pcall(L, 4, 1, 0) != 0) return failed("run");
    long long ns = t.ns();
    double s = 0;
    for (long i = 0; i < n; ++i) {
        lua_rawgeti(L, -1, i + 1);
        for (long j = 0; j < n; ++j) {
            lua_rawgeti(L, -1, j + 1);
            s += lua_tonumber(L, -1);
            lua_pop(L, 1);
        }
        lua_pop(L, 1);
    }
    return report(s, ns);
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
    case Workload::kCompile: rc = compileRow(L, n, false); break;
    case Workload::kCompileReal: rc = compileRow(L, n, true); break;
    // Lua interns short strings: "ab" .. k makes a new, distinct one each time.
    case Workload::kNewStrings:
        rc = callRow(L, "return function(n) local t = {} for k = 1, n do t[k] = \"ab\" .. k end return #t end", n, false);
        break;
    case Workload::kAppend:
        rc = callRow(L, "return function(n) local s = \"\" for k = 1, n do s = s .. \"x\" end return #s end", n, false);
        break;
    case Workload::kTemporaries:
        rc = callRow(L, "return function(n) local s for k = 1, n do s = \"ab\" .. k end return n end", n, false);
        break;
    case Workload::kMatMul:
    case Workload::kInverse:
    case Workload::kAdd:
    case Workload::kSin:
    case Workload::kArrayfun: rc = mathRow(L, argv[1], n); break;
    case Workload::kScriptMatMul:
    case Workload::kScriptInverse: rc = scriptMatrixRow(L, argv[1], n); break;
    case Workload::kNetn: rc = notApplicable(); break;
    case Workload::kSprintf:
        rc = callRow(L, "local format = string.format\n"
                        "return function(n) local k = 0 for i = 0, n - 1 do\n"
                        "  k = k + #format('%d %.3f %x %s', i, i*0.5, i, 'ab') end return k end", n, false);
        break;
    case Workload::kConcat:
        rc = callRow(L, "return function(n) local s = '' for i = 1, n do s = s .. 'ab' end return #s end", n, false);
        break;
    case Workload::kStrstr: {
        std::string chunk = "local find, h = string.find, '" + haystack() + "'\n"
                            "return function(n) local k = 0 for i = 1, n do k = k + find(h, '" + kNeedle +
                            "', 1, true) - 1 end return k end";
        rc = callRow(L, chunk.c_str(), n, false);
        break;
    }
    case Workload::kLines: {
        std::string path = linesFile();
        std::string chunk = "local path = '" + path + "'\n"
                            "return function(n)\n"
                            "  local f = io.open(path, 'w')\n"
                            "  for i = 0, n - 1 do f:write(string.format('%d the quick brown fox jumps\\n', i)) end\n"
                            "  f:close()\n"
                            "  local k = 0\n"
                            "  f = io.open(path, 'r')\n"
                            "  for line in f:lines() do k = k + #line end\n"
                            "  f:close()\n"
                            "  return k end";
        rc = callRow(L, chunk.c_str(), n, false);
        std::remove(path.c_str());
        break;
    }
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
