// The exported C interface of the engine core: argument checks and result
// codes here, the work in the subsystems.
#include <cstring>

#include "alloc.h"
#include "engine.h"
#include "function.h"
#include "keytable.h"
#include "objects.h"
#include "registry.h"
#include "value.h"

using namespace qo;

namespace {

const char16_t kVersion[] = u"qo32.DLL V1.0  Qo scripting and formula engine, Linux x86-64 edition.";

struct UniqueRecord {
    int32_t length;
    unsigned char bytes[1];   // length bytes, then three zero bytes
};

bool searchable(int keyType) { return keyType < -199 || keyType >= 256 || keyType == keys::kConst; }
bool enumerable(int keyType) { return keyType < -199 || keyType >= 256; }

int32_t moduleOfCaller(const CallInfo* caller) {
    fn::Record* r = caller ? fn::lookup(caller->function) : nullptr;
    return r ? fn::moduleOf(r) : 0;
}

// The static buffer of a value of type 9, 10 or 11: units from `start`.
const char16_t* staticBuffer(const QoValue* v, int32_t* length) {
    fn::Record* r = fn::lookup(v->s.function);
    if (!r || fn::codeStart(r) < 0) return nullptr;
    int64_t start = v->s.start, len = v->s.length;
    if (start <= 0 || len <= 0 || start + len > fn::codeStart(r) / 2) return nullptr;
    *length = static_cast<int32_t>(len);
    return reinterpret_cast<const char16_t*>(r->code) + start;
}

int deleteAllowed(const void* key, int keyLen, int keyType, QoDeleteFn deleteFn) {
    if (keyType < -255) {
        keys::Entry* e = keys::search(key, keyLen, keyType);
        return e && e->del() == deleteFn;
    }
    if (keyType <= -200 || keyType >= 256) return 1;
    if (keyType == keys::kNative) return 1;
    if (keyType == keys::kConst) {
        keys::Entry* e = keys::search(key, keyLen, keyType);
        return e && reg::constKind(e) == reg::ConstKind::kHost;
    }
    return 0;
}

}  // namespace

extern "C" {

QO_API int InitQo(void) {
    if (startEngine()) return 1;
    freeEngine();
    return 0;
}

QO_API void* FreeQo(void) {
    freeEngine();
    return nullptr;
}

QO_API const char16_t* QoVer(void) { return kVersion; }

QO_API int GetRunErr(int* type, const char16_t** name, int* code, QoHandle* function) {
    if (type) *type = g.err.type;
    if (name) *name = g.err.name;
    if (code) *code = g.err.code;
    if (function) *function = g.err.function;
    setRunError(RunError{});
    return 0;
}

QO_API void SetRunErr(int type, const char16_t* name, int code, int handleIsDirect, const void* handle) {
    QoHandle h = (handleIsDirect == 0 && handle) ? static_cast<const CallInfo*>(handle)->function
                                                 : static_cast<QoHandle>(reinterpret_cast<intptr_t>(handle));
    reportError(type, name, code, h);
}

QO_API int TestRunErr(void) { return g.err.type > 0 ? g.err.type : 0; }

QO_API intptr_t ExMsgWithQo(int message, void* a, void* b, void* c) {
    switch (message) {
    case 12:  // long-running native code takes a pending interruption: the run error for the caller `a`
        return takeInterrupt(a ? static_cast<const CallInfo*>(a)->function : 0) ? 1 : 0;
    case 1:
    case 2: {
        fn::Record* r = message == 1 ? (a ? fn::lookup(*static_cast<QoHandle*>(a)) : nullptr) : fn::fromAddress(a);
        if (!r) return 0;
        if (b) *static_cast<int32_t**>(b) = &r->words[fn::W_MODULE_NO];
        if (message == 1 && c) *static_cast<void**>(c) = r;
        return reinterpret_cast<intptr_t>(r->code + 2);
    }
    case 3: {
        if (!a || !b) return 0;
        reg::ModuleRecord* m = reg::findModule(*static_cast<int32_t*>(a));
        *static_cast<int32_t*>(b) = m ? m->refCount : 0;
        return 1;
    }
    case 4: {
        fn::Record* r = fn::fromAddress(a);
        return r ? r->code[0] : 0;
    }
    case 5: keys::flush(); return 1;
    case 6:
        if (b) *static_cast<int64_t*>(b) = g_threshold;
        if (a) g_threshold = *static_cast<int64_t*>(a);
        return 1;
    case 7: {
        if (!a || !b) return 0;
        auto fn = reinterpret_cast<QoOwnerFn>(a);
        if (*static_cast<int32_t*>(b)) return addGcCallback(fn) ? reinterpret_cast<intptr_t>(a) : 0;
        return removeGcCallback(fn) ? reinterpret_cast<intptr_t>(a) : 0;
    }
    case 8:
        if (a) {
            g.interrupt.fetch_or(kInterruptBit, std::memory_order_relaxed);
        } else {
            g.interrupt.fetch_and(~kInterruptBit, std::memory_order_relaxed);
        }
        return 1;
    case 9:
        if (!a) return 0;
        return reinterpret_cast<intptr_t>(
            lang::call(*static_cast<QoHandle*>(a), static_cast<QoValue*>(b), static_cast<QoValue*>(c), true));
    case 10: {
        // The memory limit in bytes (0: none): the old one to *b, the new one
        // from *a, the bytes in use to *c; each pointer may be null.
        if (b) *static_cast<int64_t*>(b) = static_cast<int64_t>(mem::limit());
        if (c) *static_cast<int64_t*>(c) = static_cast<int64_t>(mem::bytesInUse());
        if (a) {
            int64_t bytes = *static_cast<int64_t*>(a);
            if (bytes < 0) return 0;
            mem::setLimit(static_cast<uint64_t>(bytes));
        }
        return 1;
    }
    case 11: {
        // Where the last recorded run error happened: *a = the handle of the
        // compiled function whose code it was in, b = two int32: the first and
        // last unit of the operator or called name in that function's source
        // text. 1 when known; 0 (nothing written) when not.
        fn::Record* r = fn::lookup(g.errSiteFunction);
        if (!r || r != g.errSite.record || !r->code) return 0;
        int32_t at = g.errSite.step ? lang::siteCodeOffset(r, g.errSite.step, g.errSite.at) : g.errSite.at;
        const fn::SourceSpan* span = at >= 0 ? fn::spanAt(r, at) : nullptr;
        if (!span) return 0;
        if (a) *static_cast<QoHandle*>(a) = g.errSiteFunction;
        if (b) {
            static_cast<int32_t*>(b)[0] = span->begin;
            static_cast<int32_t*>(b)[1] = span->end;
        }
        return 1;
    }
    default: return 0;
    }
}

QO_API int InsertKey(void* key, int keyLen, int keyType, void* value, QoDeleteFn deleteFn, QoMarkFn markFn,
                     int replace, void** oldValue) {
    if (keyLen == 0 || !key) return 6;
    if (keyType >= -255 && keyType <= 255) return 3;
    bool numbered = keyLen < 0;
    int len = numbered ? 4 : keyLen;
    if (markFn && len != 4) return 7;
    if (numbered && keyType < keys::kMinNumberedType) return 6;
    if (keys::TypeLock* lock = keys::findLock(keyType); lock && lock->del != deleteFn) return 4;
    if (numbered) {
        QoHandle h;
        std::memcpy(&h, key, 4);
        if (h == 0) {
            h = keys::drawHandle();
            std::memcpy(key, &h, 4);
        }
    }
    keys::Entry* e = nullptr;
    int r = keys::insert(key, len, keyType, value, deleteFn, markFn, numbered, &e);
    if (r == keys::kInserted) return 0;
    if (r != keys::kExists) return 5;
    if (replace && (keyType > 255 || deleteFn == e->del())) {
        QoDeleteFn old = e->del();
        if (!keys::setFunctions(e, deleteFn, markFn)) return 5;
        if (old) old(e->value);
        e->value = value;
        return 2;
    }
    if (oldValue) *oldValue = e->value;
    return 1;
}

QO_API void* SearchKey(const void* key, int keyLen, int keyType) {
    if (!searchable(keyType)) return nullptr;
    keys::Entry* e = keys::search(key, keyLen, keyType);
    return e ? e->value : nullptr;
}

QO_API int DeleteKey(const void* key, int keyLen, int keyType, QoDeleteFn deleteFn, int mode) {
    if (keyLen <= 0 || !key || !deleteAllowed(key, keyLen, keyType, deleteFn)) return 0;
    return keys::remove(key, keyLen, keyType, mode);
}

QO_API void EnumKey(int keyType, char* keyBuf, int bufLen, QoEnumFn callback) {
    if (bufLen <= 0 || !keyBuf) return;
    std::memset(keyBuf, 0, static_cast<size_t>(bufLen));
    if (!enumerable(keyType) || !callback) return;
    // Collect the keys first: the callback may change the table.
    struct Key {
        unsigned char* bytes;
        int len;
    };
    Vec<Key> found;
    keys::enumerate(keyType, [](void* ctx, const unsigned char* k, int len, keys::Entry*) {
        auto* list = static_cast<Vec<Key>*>(ctx);
        auto* copy = static_cast<unsigned char*>(mem::allocate(len ? len : 1));
        if (!copy) return false;
        std::memcpy(copy, k, len);
        if (!list->push({copy, len})) {
            mem::release(copy);
            return false;
        }
        return true;
    }, &found);
    bool go = true;
    for (Key& k : found) {
        keys::Entry* e = go ? keys::search(k.bytes, k.len, keyType) : nullptr;
        if (e) {
            int n = k.len < bufLen - 1 ? k.len : bufLen - 1;
            std::memcpy(keyBuf, k.bytes, n);
            keyBuf[n] = 0;
            go = callback(keyBuf, n, e->value) != 0;
        }
        mem::release(k.bytes);
    }
}

QO_API int LockKey(int keyType, QoDeleteFn deleteFn, QoOperatorFn operatorFn) {
    if (keyType >= -256 && keyType <= 256) return 1;
    keys::TypeLock* lock = keys::findLock(keyType);
    if (deleteFn) {
        if (lock || keys::anyOfType(keyType)) return 1;
        auto* l = mem::make<keys::TypeLock>(keys::TypeLock{deleteFn, operatorFn});
        if (!l) return 1;
        if (keys::insert(&keyType, 4, keys::kTypeLock, l, mem::release, nullptr, false, nullptr) != keys::kInserted) {
            mem::release(l);
            return 1;
        }
        return 0;
    }
    if (!lock) return 0;
    if (lock->op != operatorFn) return 1;
    return keys::unlockType(keyType) ? 0 : 1;
}

QO_API int SetMemberSlot(int keyType, QoOperatorFn operatorFn, QoMemberSlotFn slotFn) {
    keys::TypeLock* lock = keyType >= -256 && keyType <= 256 ? nullptr : keys::findLock(keyType);
    if (!lock || !operatorFn || lock->op != operatorFn) return 1;
    lock->slot = slotFn;
    // The member steps remember a kind's functions for as long as no lock has
    // changed: this counts as a change.
    ++keys::g_lockGeneration;
    return 0;
}

QO_API int SetFunction(const char16_t* name, QoNativeFn fn, int argCode) {
    if (!fn) return 3;
    return reg::registerNative(name, reg::textLength(name), fn, argCode);
}

QO_API int SetConst(const char16_t* name, const QoValue* value) {
    if (!value) return 3;
    return reg::registerConst(name, reg::textLength(name), *value, reg::ConstKind::kHost);
}

namespace {
// GetFor's outputs for record r.
inline int describeFor(const fn::Record* r, int* module, QoHandle* handle, QoValue** values, int* maxParam) {
    if (module) *module = fn::moduleOf(r);
    if (handle) *handle = fn::handleOf(r);
    if (values) *values = r->values;
    if (maxParam) *maxParam = r->words[fn::W_MAX_PARAM];
    return 1;
}

// GetFor's search by name, apart from the lookup by handle that method calls
// make every time.
__attribute__((noinline)) int getForNamed(const char16_t* name, int visibility, const CallInfo* caller, int* module,
                                          QoHandle* handle, QoValue** values, int* maxParam) {
    fn::Record* r = reg::resolve(name, reg::textLength(name), moduleOfCaller(caller), visibility == 0);
    return r ? describeFor(r, module, handle, values, maxParam) : 0;
}
}  // namespace

QO_API int GetFor(const char16_t* name, int visibility, const CallInfo* caller, int* module, QoHandle* handle,
                  QoValue** values, int* maxParam) {
    if (name) return getForNamed(name, visibility, caller, module, handle, values, maxParam);
    fn::Record* r = handle ? fn::lookup(*handle) : nullptr;
    return r ? describeFor(r, module, handle, values, maxParam) : 0;
}

QO_API int IsFor(const char16_t* name, int module, QoHandle handle, const QoValue* values, int maxParam) {
    auto matches = [&](fn::Record* r) {
        return fn::handleOf(r) == handle && fn::moduleOf(r) == module && r->values == values &&
               r->words[fn::W_MAX_PARAM] == maxParam;
    };
    int len = reg::textLength(name);
    if (len == 0) {
        fn::Record* r = fn::lookup(handle);
        return r && matches(r);
    }
    for (fn::Record* r = reg::newestNamed(name, len); r; r = r->older)
        if (matches(r)) return 1;
    return 0;
}

QO_API int ParaModify(QoHandle handle) {
    fn::Record* r = fn::lookup(handle);
    return r && (r->code[1] & fn::kFlagModifiesParams) ? 1 : 0;
}

QO_API int DeleteFor(QoHandle handle, QoOwnerFn owner) {
    fn::Record* r = fn::lookup(handle);
    if (!r || r->code[0] != fn::kIdle || r->destroying) return 0;
    if (reg::ModuleRecord* m = reg::findModule(fn::moduleOf(r))) {
        if (m->owner && owner) owner();
        if (owner != m->owner) return 0;
    }
    return keys::remove4(handle, keys::kFunctionByHandle, 0);
}

namespace {

__attribute__((noinline)) char16_t* stringText(const QoValue* value, int* length) {
    if (!value) return nullptr;
    int32_t len = 0;
    const char16_t* text = nullptr;
    if (value->type == QO_STATIC_STRING) {
        text = staticBuffer(value, &len);
    } else if (value->type == QO_STRING) {
        if (auto* s = static_cast<QoString*>(obj::lookup(QO_STRING, value->h))) {
            text = s->text;
            len = s->capacity;
        }
    }
    if (text && length) *length = len;
    return const_cast<char16_t*>(text);
}

}  // namespace

// A string the handle index knows is answered without a call or a frame
// (a native's string argument mostly is one); everything else goes the
// general way.
QO_API char16_t* GetStr(const QoValue* value, const CallInfo*, int* length) {
    if (value && value->type == QO_STRING)
        if (auto* s = static_cast<const QoString*>(obj::indexedRecord(QO_STRING, value->h)); s && s->text) {
            if (length) *length = s->capacity;
            return s->text;
        }
    return stringText(value, length);
}

QO_API void* GetArray(const QoValue* value, const CallInfo*, int* count) {
    if (!value) return nullptr;
    if (value->type == QO_STATIC_INTS || value->type == QO_STATIC_REALS) {
        int32_t len = 0;
        const char16_t* buffer = staticBuffer(value, &len);
        if (!buffer || len / 4 == 0) return nullptr;
        if (count) *count = len / 4;
        return const_cast<char16_t*>(buffer);
    }
    if (value->type == QO_INTS || value->type == QO_REALS) {
        auto* a = static_cast<QoArray*>(obj::lookup(value->type, value->h));
        if (!a) return nullptr;
        if (count) *count = a->count;
        return a->data;
    }
    return nullptr;
}

QO_API int LockModule(int module, QoOwnerFn owner, int lock) {
    if (!owner) return 0;
    owner();
    reg::ModuleRecord* m = reg::findModule(module);
    if (lock) {
        if (!m) return reg::createModule(module, owner) ? 1 : 0;
        return m->owner == owner ? 1 : 0;
    }
    if (!m) return 1;
    if (m->refCount != 0) return 0;
    reg::removeModule(module);
    return 1;
}

QO_API int StrToUniInt(const void* bytes, int len) {
    if (!bytes || len <= 0) return 0;
    if (keys::Entry* e = keys::search(bytes, len, keys::kUniqueByBytes))
        return static_cast<int>(reinterpret_cast<intptr_t>(e->value));
    auto* rec = static_cast<UniqueRecord*>(mem::allocate(sizeof(int32_t) + static_cast<size_t>(len) + 3));
    if (!rec) return 0;
    rec->length = len;
    std::memcpy(rec->bytes, bytes, len);
    std::memset(rec->bytes + len, 0, 3);
    QoHandle h = keys::drawHandle();
    void* number = reinterpret_cast<void*>(static_cast<intptr_t>(h));
    if (keys::insert(bytes, len, keys::kUniqueByBytes, number, nullptr, nullptr, false, nullptr) != keys::kInserted) {
        mem::release(rec);
        return 0;
    }
    if (keys::insert(&h, 4, keys::kUniqueByNumber, rec, mem::release, nullptr, false, nullptr) != keys::kInserted) {
        mem::release(rec);
        keys::remove(bytes, len, keys::kUniqueByBytes, 0);
        return 0;
    }
    return h;
}

QO_API const void* UniIntToStr(int number, int* len) {
    keys::Entry* e = number ? keys::search4(number, keys::kUniqueByNumber) : nullptr;
    if (!e) return nullptr;
    auto* rec = static_cast<UniqueRecord*>(e->value);
    if (len) *len = rec->length;
    return rec->bytes;
}

QO_API void* NewSysObj(int type, int size, int ndims, QoHandle* handle) {
    return obj::create(type, size, ndims, handle);
}

QO_API int SetSysObj(int type, void* object, int size, int ndims, int keep) {
    return obj::resize(type, object, size, ndims, keep != 0) ? 1 : 0;
}

QO_API void* GetBufObj(int type, QoHandle* handle) { return obj::takeReused(type, handle); }

QO_API QoValue* ExeOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int opcode, int type) {
    if (!result) return nullptr;
    return obj::dispatch(result, lastArg, args, caller, opcode, type);
}

QO_API CallInfo* FunReObj(CallInfo* caller) {
    if (caller) caller->flags = 1;
    return caller;
}

QO_API void FunSaveObj(CallInfo* caller, const QoValue* value, intptr_t level) {
    if (value) obj::save(caller, *value, level);
    else obj::releaseSaved(caller, level);
}

QO_API int SignGoodObj(const QoValue* value) { return value && gc::queueRoot(*value) ? 1 : 0; }

QO_API int GC(int command) {
    int32_t old = g.gcState;
    switch (command) {
    case 0:
        if (old == 4) return 1;
        gc::collect();
        return 0;
    case 1:
        if (old != 5) return 1;
        g.gcState = 0;
        gc::collect();
        return 0;
    case 2: return old;
    case 3: g.gcState = 0; return old;
    case 4: g.gcState = 4; return old;
    case 5: g.gcState = 5; return old;
    default: return 0;
    }
}

}  // extern "C"
