// The library's export surface: all 34 entry points bind by name, and nothing
// else of the engine is visible to a module that loads it.
#include <algorithm>
#include <set>

#include "api_loader.h"

namespace {

const std::set<std::string> kExports = {
#define QO_EXPORT_NAME(name) #name,
    QO_EXPORTS(QO_EXPORT_NAME)
#undef QO_EXPORT_NAME
};

TEST(Exports, EveryExportBindsByName) {
    EXPECT_EQ(kExports.size(), 34u);
    std::string missing;
    for (const std::string& name : missingExports()) missing += " " + name;
    EXPECT_TRUE(missing.empty()) << "missing exports:" << missing;
}

TEST(Exports, NothingElseIsExported) {
    std::vector<std::string> symbols = definedDynamicSymbols(libraryPath());
    std::set<std::string> seen;
    for (const std::string& name : symbols) {
        EXPECT_TRUE(kExports.count(name)) << "unexpected export: " << name;
        seen.insert(name);
    }
    for (const std::string& name : kExports) EXPECT_TRUE(seen.count(name)) << "not exported: " << name;
}

TEST(Exports, VersionTextStartsWithTheLibraryName) {
    ASSERT_TRUE(qoApi().QoVer);
    const char16_t* ver = qoApi().QoVer();
    ASSERT_NE(ver, nullptr);
    std::u16string text(ver);
    EXPECT_EQ(text.rfind(u16("qo32.DLL V1.0"), 0), 0u);
    EXPECT_GT(text.size(), 13u) << "the version text carries a notice after the name";
}

}  // namespace
