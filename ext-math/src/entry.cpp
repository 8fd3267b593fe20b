// entry.cpp - QoDll32 of QoMath32: binding the engine, claiming the math key
// type, registering the constants and functions under "math::", and taking
// all of it back on unloading.
#include "math_ext.h"
#include "qo_ext.h"

namespace qo::math {

Engine engine{};
int mathType = -12345;

namespace {

constexpr int kFirstMathType = -12345;

ext::TypeClaim g_types[1];

struct Constant {
    const char16_t* name;
    int32_t type;
    int64_t payload;  // ignored for real_s (the key type) and pi
};
const Constant kConsts[] = {
    {u"real_s", QO_INT, 0}, {u"pi", QO_REAL, 0},  {u"zeros", QO_INT, kZeros}, {u"ones", QO_INT, kOnes},
    {u"eye", QO_INT, kEye}, {u"rand", QO_INT, kRand}, {u"randn", QO_INT, kRandn},
};

const ext::FunctionEntry kFunctions[] = {
    {u"SetArray", -2, SetArray}, {u"ra1", -2, ra1},         {u"matrix", -2, matrix},
    {u"outa", -2, outa},         {u"subg", -2, subg},       {u"subs", -2, subs},
    {u"row", 2, row},            {u"col", 2, col},          {u"linspace", 2, linspace},
    {u"zeros", -2, zeros},       {u"ones", -2, ones},       {u"eye", -2, eye},
    {u"rand", -2, rand},         {u"randn", -2, randn},     {u"Sum", -2, Sum},
    {u"reshape", -2, reshape},   {u"ndgrid", -2, ndgrid},   {u"arrayfun", -2, arrayfun},
    {u"inv", 0, inv},            {u"netn", -2, netn},       {u"btFindRoot", -2, btFindRoot},
};
static_assert(std::size(kFunctions) == 21);

uint8_t g_functionOk[std::size(kFunctions)];
ext::Registrar g_names(u"math::", 24, "math");

void bindEngine(void* lib) {
    Engine& e = engine;
    const ext::Binding table[] = {
        ext::bind("TestRunErr", e.TestRunErr),   ext::bind("SetRunErr", e.SetRunErr),
        ext::bind("QoCal", e.QoCal),             ext::bind("GetFor", e.GetFor),
        ext::bind("GetStr", e.GetStr),           ext::bind("SetFunction", e.SetFunction),
        ext::bind("SetConst", e.SetConst),       ext::bind("ParaModify", e.ParaModify),
        ext::bind("SearchKey", e.SearchKey),     ext::bind("DeleteKey", e.DeleteKey),
        ext::bind("LockKey", e.LockKey),         ext::bind("NewSysObj", e.NewSysObj),
        ext::bind("FunReObj", e.FunReObj),       ext::bind("FunSaveObj", e.FunSaveObj),
        ext::bind("ExMsgWithQo", e.ExMsgWithQo), ext::bind("ExeOperator", e.ExeOperator),
        ext::bind("GC", e.GC),
    };
    ext::bindExports(lib, table);
}

ext::RegistrationApi registration() { return {engine.SetConst, engine.SetFunction, engine.DeleteKey}; }

// Constants are registered without looking at the results and withdrawn
// whatever they were.
void registerConsts() {
    for (const Constant& c : kConsts) {
        QoValue v{};
        v.type = v.optype = c.type;
        if (c.type == QO_REAL) v.r = 3.141592653589793;
        else v.i = c.name == kConsts[0].name ? static_cast<int64_t>(mathType) : c.payload;
        engine.SetConst(g_names.fullName(c.name), &v);
    }
}

void withdrawConsts() {
    for (const Constant& c : kConsts) {
        const char16_t* name = g_names.fullName(c.name);
        engine.DeleteKey(name, g_names.fullNameBytes(), 4, nullptr, 0);
    }
}

int load(void* lib) {
    bindEngine(lib);
    g_types[0] = {kFirstMathType, mathRelease, mathOperator};
    if (!ext::claimTypes(engine.LockKey, g_types)) return 0;
    mathType = g_types[0].keyType;
    resetGenerators();
    registerConsts();
    g_names.registerFunctions(registration(), kFunctions, g_functionOk);
    return 1;
}

int unload() {
    g_names.withdrawFunctions(registration(), kFunctions, g_functionOk);
    withdrawConsts();
    ext::releaseTypes(engine.LockKey, g_types);
    return 1;
}

}  // namespace
}  // namespace qo::math

extern "C" __attribute__((visibility("default"))) int QoDll32(void* engine, int flag, void* reserved) {
    (void)reserved;
    return flag ? qo::math::load(engine) : qo::math::unload();
}
