// qo_ext.h - the entry protocol shared by every extension library.
//
// An extension exports only `int QoDll32(void* engine, int flag, void*)`, where
// `engine` is the dlopen handle of libqo32.so. It never links the engine: it
// binds the exports it needs by name (bindExports, in the order of its own
// table), claims its private key types with a downward search (claimTypes),
// then registers its constants and functions from declarative tables through
// a Registrar, which copies each short name behind the prefix, records one
// success byte per entry and shows a message box for each refusal. Unloading
// withdraws exactly the entries whose byte is set, then releases the types.
//
// Everything here runs on the thread that loads and unloads the extension.
#pragma once
#include <dlfcn.h>

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>

#include "qo/os.h"
#include "qo/text.h"
#include "qo32.h"

namespace qo::ext {

// One engine export to bind: its name and the slot that receives it.
struct Binding {
    const char* name;
    void** slot;
};

// Binds in table order; a missing export leaves its slot null. Returns the
// number of missing exports (the caller may refuse to load when it is not 0).
template <size_t N>
int bindExports(void* engine, const Binding (&table)[N]) {
    int missing = 0;
    for (const Binding& b : table) {
        *b.slot = engine ? dlsym(engine, b.name) : nullptr;
        if (!*b.slot) ++missing;
    }
    return missing;
}

template <typename Fn>
Binding bind(const char* name, Fn*& slot) {
    return {name, reinterpret_cast<void**>(&slot)};
}

// A private key type: the value claimed (starting at its initial value), with
// its delete and operator functions.
struct TypeClaim {
    int keyType;
    QoDeleteFn deleteFn;
    QoOperatorFn operatorFn;
};

constexpr int kLowestKeyType = -10000000;

// Claims every type, searching downwards from its current value while
// LockKey refuses; a type that finds no free value down to kLowestKeyType
// fails the whole claim, and then every type is released again.
template <size_t N>
bool claimTypes(decltype(&::LockKey) lockKey, TypeClaim (&types)[N]) {
    bool failed = false;
    for (TypeClaim& t : types) {
        while (lockKey(t.keyType, t.deleteFn, t.operatorFn) != 0) {
            if (t.keyType <= kLowestKeyType) {
                failed = true;
                break;
            }
            --t.keyType;
        }
    }
    if (failed)
        for (TypeClaim& t : types) lockKey(t.keyType, nullptr, t.operatorFn);
    return !failed;
}

template <size_t N>
void releaseTypes(decltype(&::LockKey) lockKey, TypeClaim (&types)[N]) {
    for (TypeClaim& t : types) lockKey(t.keyType, nullptr, t.operatorFn);
}

// A constant of the table: short name, type tag (both `type` and `optype`)
// and the 8-byte payload. `kindIndex` >= 0 takes the payload from the key type
// that claimTypes settled for that kind instead.
struct ConstEntry {
    const char16_t* name;
    int32_t type;
    int64_t payload;
    int kindIndex = -1;
};

struct FunctionEntry {
    const char16_t* name;
    int parameterCount;  // parameters minus one; -1 none, -2 any number
    QoNativeFn function;
};

// Value records that every extension makes: both type tags set, the rest zero.
inline QoValue nilValue() { return QoValue{}; }
inline QoValue intValue(int64_t i) {
    QoValue v{};
    v.i = i;
    v.type = v.optype = QO_INT;
    return v;
}
inline QoValue realValue(double r) {
    QoValue v{};
    v.r = r;
    v.type = v.optype = QO_REAL;
    return v;
}
inline QoValue logicalValue(bool b) {
    QoValue v{};
    v.i = b ? 1 : 0;
    v.type = v.optype = QO_LOGICAL;
    return v;
}

constexpr int kShortNameRoom = 25;  // UTF-16 units behind the prefix, terminator included

struct RegistrationApi {
    decltype(&::SetConst) setConst;
    decltype(&::SetFunction) setFunction;
    decltype(&::DeleteKey) deleteKey;
};

// The name buffer and the registration walk of one extension.
class Registrar {
public:
    // `prefix` like u"sys::"; `room` the units behind it (terminator included);
    // `tag` opens the refusal captions ("sys 注册常量失败！").
    Registrar(const char16_t* prefix, int room, const char* tag) : room_(room), tag_(tag) {
        for (prefixLen_ = 0; prefix[prefixLen_] && prefixLen_ < kPrefixMax; ++prefixLen_) buf_[prefixLen_] = prefix[prefixLen_];
        buf_[prefixLen_] = 0;
    }

    // The registered name of a short name (prefix + short name), in the buffer.
    const char16_t* fullName(const char16_t* shortName) {
        int n = 0;
        for (; shortName[n] && n < room_ - 1; ++n) buf_[prefixLen_ + n] = shortName[n];
        assert(!shortName[n] && "short name longer than the name buffer");
        buf_[prefixLen_ + n] = 0;
        nameUnits_ = prefixLen_ + n;
        return buf_;
    }
    int fullNameBytes() const { return nameUnits_ * 2; }

    template <size_t N>
    void registerConsts(const RegistrationApi& api, const ConstEntry (&table)[N], const int* kindTypes, uint8_t* ok) {
        for (size_t i = 0; i < N; ++i) {
            QoValue v{};
            v.type = v.optype = table[i].type;
            v.i = table[i].kindIndex >= 0 ? kindTypes[table[i].kindIndex] : table[i].payload;
            ok[i] = api.setConst(fullName(table[i].name), &v) == 0;
            if (!ok[i]) refuse("注册常量失败！");
        }
    }

    template <size_t N>
    void registerFunctions(const RegistrationApi& api, const FunctionEntry (&table)[N], uint8_t* ok) {
        for (size_t i = 0; i < N; ++i) {
            ok[i] = api.setFunction(fullName(table[i].name), table[i].function, table[i].parameterCount) == 0;
            if (!ok[i]) refuse("注册函数失败！");
        }
    }

    template <size_t N>
    void withdrawConsts(const RegistrationApi& api, const ConstEntry (&table)[N], uint8_t* ok) {
        withdraw(api, table, ok, 4);
    }
    template <size_t N>
    void withdrawFunctions(const RegistrationApi& api, const FunctionEntry (&table)[N], uint8_t* ok) {
        withdraw(api, table, ok, 3);
    }

private:
    static constexpr int kPrefixMax = 15;

    template <typename Entry, size_t N>
    void withdraw(const RegistrationApi& api, const Entry (&table)[N], uint8_t* ok, int keyType) {
        for (size_t i = 0; i < N; ++i) {
            if (!ok[i]) continue;
            fullName(table[i].name);
            api.deleteKey(buf_, fullNameBytes(), keyType, nullptr, 0);
            ok[i] = 0;
        }
    }

    void refuse(const char* what) {
        std::u16string name(buf_, nameUnits_);
        qo::os::messageBox(qo::text::toUtf8(name), std::string(tag_) + " " + what, qo::os::kIconInformation);
    }

    char16_t buf_[kPrefixMax + 1 + 32] = {};
    int prefixLen_ = 0;
    int room_;
    int nameUnits_ = 0;
    const char* tag_;
};

}  // namespace qo::ext
