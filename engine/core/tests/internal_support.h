// internal_support.h - building compiled function records by hand for the
// internal tests, without the compiler.
//
// FunctionImage lays out an Image the way the compiler does: code array with
// state byte, flag byte, name, literal text and a lone END; 15 header words
// and a reference list whose words index `addresses`; a value array of
// parameters, locals, statics (int 0), constants, one unused slot and a stack.
// Engine is a fixture that starts the engine before each test and stops it
// after, checking that every block allocated for the test was freed.
#pragma once
#include <gtest/gtest.h>

#include "leak_checked_engine.h"

#include <cstring>
#include <string>
#include <vector>

#include "alloc.h"
#include "engine.h"
#include "function.h"
#include "keytable.h"
#include "qo32.h"
#include "registry.h"
#include "value.h"

namespace qo::test {

struct FunctionImage {
    std::u16string name;
    int32_t module = 1;
    int32_t maxParam = -1;
    int32_t locals = 0;
    int32_t statics = 0;
    std::vector<QoValue> constants;
    int32_t stack = 2;
    unsigned char flags = 0;
    std::u16string literals;               // placed right after the name
    std::vector<unsigned char> ops = {0};  // the opcodes, ending with END
    std::vector<int32_t> operands;         // operand words, in code order
    std::vector<void*> operandAddresses;   // addresses[0..]: record operands
    std::vector<fn::CallerNode**> refs;    // caller-list heads the body names
    std::vector<QoValue*> moduleVars;

    // Filled by build().
    std::vector<unsigned char> code;
    std::vector<int32_t> words;
    std::vector<QoValue> values;
    std::vector<void*> addresses;

    int32_t staticFirst() const { return maxParam + 1 + locals; }
    int32_t constFirst() const { return staticFirst() + statics; }
    int32_t literalStart() const { return 1 + static_cast<int32_t>(name.size()) + 1; }  // in units

    fn::Image build() {
        code.assign(2, 0);
        code[1] = flags;
        auto putUnits = [&](const std::u16string& s) {
            for (char16_t c : s) code.push_back(c & 0xff), code.push_back(c >> 8);
        };
        putUnits(name);
        putUnits(std::u16string(1, u'\0'));
        putUnits(literals);
        int32_t codeStart = static_cast<int32_t>(code.size());
        code.insert(code.end(), ops.begin(), ops.end());

        int32_t stackFirst = constFirst() + static_cast<int32_t>(constants.size()) + 1;
        words.assign(fn::kHeaderWords, 0);
        words[fn::W_MAX_PARAM] = maxParam;
        words[fn::W_CONST_FIRST] = constFirst();
        words[fn::W_CODE_START] = codeStart;
        words[fn::W_STACK_FIRST] = stackFirst;
        words[fn::W_MODULE_NO] = module;
        words.insert(words.end(), operands.begin(), operands.end());
        words[fn::W_REF_FIRST] = static_cast<int32_t>(words.size());
        words[fn::W_REF_LAST] = static_cast<int32_t>(words.size() + refs.size()) - 1;
        words[fn::W_STATIC_FIRST] = staticFirst();
        words[fn::W_NAME_UNITS] = static_cast<int32_t>(name.size()) + 1;
        addresses = operandAddresses;
        for (fn::CallerNode** head : refs) {
            words.push_back(static_cast<int32_t>(addresses.size()));
            addresses.push_back(head);
        }

        values.assign(stackFirst + stack, makeNil());
        for (int32_t i = staticFirst(); i < constFirst(); ++i) values[i] = makeInt(0);
        for (size_t i = 0; i < constants.size(); ++i) values[constFirst() + i] = constants[i];

        fn::Image img{};
        img.code = code.data();
        img.codeLength = static_cast<int32_t>(code.size());
        img.words = words.data();
        img.wordCount = static_cast<int32_t>(words.size());
        img.values = values.data();
        img.valueCount = static_cast<int32_t>(values.size());
        img.moduleVars = moduleVars.data();
        img.moduleVarCount = static_cast<int32_t>(moduleVars.size());
        img.addresses = addresses.data();
        img.addressCount = static_cast<int32_t>(addresses.size());
        return img;
    }
};

// Installs a function; returns its handle (0 on failure).
inline QoHandle install(FunctionImage& f) {
    QoHandle h = 0;
    fn::Record* r = fn::reserve(&h);
    if (!r) return 0;
    fn::Image img = f.build();
    return fn::install(r, h, img) == 0 ? h : 0;
}

inline FunctionImage function(const char16_t* name, int32_t module, unsigned char flags = 0) {
    FunctionImage f;
    f.name = name;
    f.module = module;
    f.flags = flags;
    return f;
}

// A module name entry (key type 8) made through the internal insert, with the
// modules it includes.
inline void freeModuleName(void* v) {
    auto* m = static_cast<reg::ModuleName*>(v);
    reg::clearNames(m->includes);
    mem::destroy(m);
}
inline bool addModuleName(const std::u16string& name, int32_t moduleNo,
                          std::vector<std::u16string> includes = {}) {
    auto* m = mem::make<reg::ModuleName>();
    if (!m) return false;
    m->moduleNo = moduleNo;
    m->includes = reg::NameList{};
    for (const std::u16string& inc : includes) {
        if (!reg::addName(m->includes, inc.data(), static_cast<int>(inc.size()))) {
            freeModuleName(m);
            return false;
        }
    }
    keys::Entry* e = nullptr;
    int rc = keys::insert(name.data(), static_cast<int>(name.size() * 2), keys::kModuleName, m,
                          freeModuleName, nullptr, false, &e);
    if (rc != keys::kInserted) freeModuleName(m);
    return rc == keys::kInserted;
}

using Engine = LeakCheckedEngine;

}  // namespace qo::test
