// api_loader.h - the engine as an extension sees it: libqo32.so opened with
// dlopen and every export fetched by name into a table of pointers.
//
// qoApi() loads the library once per process and returns the table; a missing
// export leaves its pointer null (the export test reports it). ApiTest starts
// a fresh engine before each test and destroys it after.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qo32.h"

// One pointer per export, named as the export.
#define QO_EXPORTS(X)                                                                                   \
    X(InitQo)                                                                                           \
    X(FreeQo) X(QoVer) X(GetRunErr) X(SetRunErr) X(TestRunErr) X(ExMsgWithQo) X(InsertKey) X(SearchKey) \
        X(DeleteKey) X(EnumKey) X(LockKey) X(SetMemberSlot) X(SetFunction) X(SetConst) X(GetFor) X(IsFor) X(ParaModify)  \
            X(DeleteFor) X(GetStr) X(GetArray) X(LockModule) X(StrToUniInt) X(UniIntToStr) X(NewSysObj) \
                X(SetSysObj) X(GetBufObj) X(ExeOperator) X(FunReObj) X(FunSaveObj) X(SignGoodObj) X(GC) \
                    X(QoCom) X(QoCal)

struct QoApi {
#define QO_API_FIELD(name) decltype(&::name) name = nullptr;
    QO_EXPORTS(QO_API_FIELD)
#undef QO_API_FIELD
};

// The export table of the loaded library (loaded on first use; a failed load
// fails the calling test and leaves every pointer null).
const QoApi& qoApi();
// The library's file name, and the names that were not found in it.
const char* libraryPath();
std::vector<std::string> missingExports();
// Names of every defined global symbol in the library's dynamic symbol table,
// read from its ELF file.
std::vector<std::string> definedDynamicSymbols(const std::string& path);

// Fixture: a fresh engine around every test.
class ApiTest : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;
    const QoApi& api = qoApi();
};

// Small helpers shared by the API tests.
std::u16string u16(const char* ascii);
inline int byteLength(const std::u16string& s) { return static_cast<int>(s.size() * 2); }
QoValue intValue(int64_t i);
QoValue objectValue(int32_t type, QoHandle h);
