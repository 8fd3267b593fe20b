// entry.cpp - QoDll32 of QoSystem32: binding the engine, claiming the eight
// kinds, registering the constants and functions under "sys::", and taking
// all of it back on unloading.
#include <cstdlib>

#include "containers.h"
#include "files.h"
#include "format.h"
#include "printer.h"
#include "qo_ext.h"
#include "string_kinds.h"
#include "system.h"

namespace qo::sys {

Engine engine{};
int kindType[kKindCount];

namespace {

constexpr int kFirstKindType = -123111;

ext::TypeClaim g_types[kKindCount];

const ext::ConstEntry kConsts[] = {
    {u"null", QO_POINTER, 0},
    {u"qou", QO_INT, 0, kQou},
    {u"String", QO_INT, 0, kString},
    {u"astring", QO_INT, 0, kAstring},
    {u"dict", QO_INT, 0, kDict},
    {u"struct", QO_INT, 0, kStruct},
    {u"class", QO_INT, 0, kClass},
    {u"obj", QO_INT, 0, kObj},
    {u"file", QO_INT, 0, kFile},
    {u"SEEK_CUR", QO_INT, 1},
    {u"SEEK_END", QO_INT, 2},
    {u"SEEK_SET", QO_INT, 0},
    {u"EOF", QO_INT, -1},
    {u"UTEXT", QO_INT, 65279},
    {u"LC_ALL", QO_INT, 0},
    {u"LC_COLLATE", QO_INT, 1},
    {u"LC_CTYPE", QO_INT, 2},
    {u"LC_MONETARY", QO_INT, 3},
    {u"LC_NUMERIC", QO_INT, 4},
    {u"LC_TIME", QO_INT, 5},
    {u"reNoFlag", QO_INT, 0},
    {u"reIgnoreCase", QO_INT, 8},
    {u"reSingleline", QO_INT, 1},
    {u"reMultiline", QO_INT, 2},
    {u"reGlobal", QO_INT, 4},
    {u"reRightToLeft", QO_INT, 16},
    {u"reExtended", QO_INT, 32},
};
static_assert(std::size(kConsts) == 27);

// The functions that exist so far, in the registration order of the library.
const ext::FunctionEntry kFunctions[] = {
    {u"isnil", 0, isnil},
    {u"vtype", 0, vtype},
    {u"qofun", -2, qofun},
    {u"rearray", 0, rearray},
    {u"ShellExecute", 5, shellExecute},
    {u"SetCurrentDirectory", 0, setCurrentDirectory},
    {u"GetCurrentDirectory", 0, getCurrentDirectory},
    {u"qou", -2, qou},
    {u"String", 0, stringCopy},
    {u"ustr", 0, ustr},
    {u"astr", 0, astr},
    {u"strlen", 0, strlen_},
    {u"strcpy", 1, strcpy_},
    {u"strcat", 1, strcat_},
    {u"substr", 2, substr},
    {u"strchr", 1, strchr_},
    {u"strrchr", 1, strrchr_},
    {u"strcmp", 1, strcmp_},
    {u"strpbrk", 1, strpbrk_},
    {u"strspn", 1, strspn_},
    {u"strstr", -2, strstr_},
    {u"strtok", 1, strtok_},
    {u"strlwr", 0, strlwr},
    {u"strupr", 0, strupr},
    {u"strset", -2, strset},
    {u"strrev", 0, strrev},
    {u"strrep", -2, strrep},
    {u"strdate", -1, strdate},
    {u"strtime", -1, strtime},
    {u"dict", -2, dict},
    {u"dict_oset", -2, dictOset},
    {u"dict_oget", -2, dictOget},
    {u"dict_del", -2, dictDel},
    {u"dict_clear", 0, dictClear},
    {u"dict_reverse", 0, dictReverse},
    {u"struct", -2, structMake},
    {u"struct_oset", -2, structOset},
    {u"struct_oget", -2, structOget},
    {u"class", -2, classMake},
    {u"class_handle", 0, classHandle},
    {u"obj", -2, objMake},
    {u"obj_method", -2, objMethod},
    {u"obj_oset", -2, objOset},
    {u"obj_oget", -2, objOget},
    {u"printf", -2, printf_},
    {u"sprintf", -2, sprintf_},
    {u"fprintf", -2, fprintf_},
    {u"sscanf", -2, sscanf_},
    {u"fscanf", -2, fscanf_},
    {u"setlocale", 2, setlocale_},
    {u"fopen", 1, fopen_},
    {u"fclose", 0, fclose_},
    {u"fwrite", -2, fwrite_},
    {u"fread", -2, fread_},
    {u"fseek", 2, fseek_},
    {u"feof", 0, feof_},
    {u"fflush", 0, fflush_},
    {u"ftell", 0, ftell_},
    {u"rewind", 0, rewind_},
    {u"readtxt", 0, readtxt},
    {u"writetxt", 1, writetxt},
    {u"ComRegex", -2, comRegex},
    {u"MatchExact", 0, matchExact},
    {u"Match", -2, match},
    {u"GetNamedGroupNumber", 0, getNamedGroupNumber},
    {u"PrepareMatch", -2, prepareMatch},
    {u"Replace", -2, replace},
    {u"IsMatched", -1, isMatched},
    {u"GetStart", -1, getStart},
    {u"GetEnd", -1, getEnd},
    {u"GetGroupStart", 0, getGroupStart},
    {u"GetGroupEnd", 0, getGroupEnd},
    {u"MaxGroupNumber", -1, maxGroupNumber},
};

uint8_t g_constOk[std::size(kConsts)];
uint8_t g_functionOk[std::size(kFunctions)];
ext::Registrar g_names(u"sys::", ext::kShortNameRoom, "sys");

void afterCollection() {}

void bindEngine(void* lib) {
    Engine& e = engine;
    const ext::Binding table[] = {
        ext::bind("TestRunErr", e.TestRunErr),   ext::bind("SetRunErr", e.SetRunErr),
        ext::bind("QoCal", e.QoCal),             ext::bind("GetFor", e.GetFor),
        ext::bind("GetStr", e.GetStr),           ext::bind("GetArray", e.GetArray),
        ext::bind("SetFunction", e.SetFunction), ext::bind("SetConst", e.SetConst),
        ext::bind("ParaModify", e.ParaModify),   ext::bind("InsertKey", e.InsertKey),
        ext::bind("SearchKey", e.SearchKey),     ext::bind("DeleteKey", e.DeleteKey),
        ext::bind("LockKey", e.LockKey),         ext::bind("NewSysObj", e.NewSysObj),
        ext::bind("FunReObj", e.FunReObj),       ext::bind("FunSaveObj", e.FunSaveObj),
        ext::bind("ExMsgWithQo", e.ExMsgWithQo), ext::bind("ExeOperator", e.ExeOperator),
        ext::bind("SignGoodObj", e.SignGoodObj), ext::bind("StrToUniInt", e.StrToUniInt),
        ext::bind("UniIntToStr", e.UniIntToStr), ext::bind("GetBufObj", e.GetBufObj),
        ext::bind("SetSysObj", e.SetSysObj),     ext::bind("GC", e.GC),
        ext::bind("SetMemberSlot", e.SetMemberSlot),
    };
    ext::bindExports(lib, table);
}

ext::RegistrationApi registration() { return {engine.SetConst, engine.SetFunction, engine.DeleteKey}; }

void setGcCallback(bool on) {
    int32_t s = on ? 1 : 0;
    engine.ExMsgWithQo(7, reinterpret_cast<void*>(&afterCollection), &s, &s);
}

int load(void* lib) {
    g_unloading = false;
    forgetSpareTypes();
    forgetObjectCaches();
    const char* failAfter = std::getenv("QO_SYSTEM_FAIL_AFTER");
    setFailAfter(failAfter ? std::atol(failAfter) : 0);
    bindEngine(lib);
    for (int k = 0; k < kKindCount; ++k) g_types[k] = {kFirstKindType - k, kindDelete[k], kindOperator[k]};
    if (!ext::claimTypes(engine.LockKey, g_types)) return 0;
    for (int k = 0; k < kKindCount; ++k) kindType[k] = g_types[k].keyType;
    if (engine.SetMemberSlot) {  // an optional fast path of the engine's member reads
        engine.SetMemberSlot(kindType[kStruct], structOperator, structMemberSlot);
        engine.SetMemberSlot(kindType[kObj], objOperator, objMemberSlot);
    }
    g_names.registerConsts(registration(), kConsts, kindType, g_constOk);
    g_names.registerFunctions(registration(), kFunctions, g_functionOk);
    setGcCallback(true);
    g_initId = engine.StrToUniInt(u"__init__", 16);
    g_delId = engine.StrToUniInt(u"__del__", 14);
    g_copyId = engine.StrToUniInt(u"__copy__", 16);
    return 1;
}

int unload() {
    g_unloading = true;
    g_names.withdrawConsts(registration(), kConsts, g_constOk);
    g_names.withdrawFunctions(registration(), kFunctions, g_functionOk);
    ext::releaseTypes(engine.LockKey, g_types);
    membersMoved();
    releaseSpareTypes();
    setGcCallback(false);
    freeLookupQueue();
    releaseRegexState();
    return 1;
}

}  // namespace
}  // namespace qo::sys

extern "C" __attribute__((visibility("default"))) int QoDll32(void* engine, int flag, void* reserved) {
    (void)reserved;
    return flag ? qo::sys::load(engine) : qo::sys::unload();
}
