#include "workbuffers.h"

#include <cstring>

#include "alloc.h"
#include "engine.h"

namespace qo::lang {
namespace {

WorkBuffers* g_buffers = nullptr;

template <class T>
bool allocBuffer(Buffer<T>& b, int32_t cap) {
    T* p = mem::allocArray<T>(static_cast<size_t>(cap));
    if (!p) return false;
    mem::release(b.data);
    b.data = p;
    b.cap = cap;
    b.n = 0;
    return true;
}

template <class T>
void freeBuffer(Buffer<T>& b) {
    mem::release(b.data);
    b = Buffer<T>{};
}

bool allocTokens(WorkBuffers& w, int32_t cap) {
    OpEntry* ops = mem::allocArray<OpEntry>(static_cast<size_t>(cap));
    if (!ops) return false;
    if (!allocBuffer(w.tokens, cap)) {
        mem::release(ops);
        return false;
    }
    mem::release(w.ops);
    w.ops = ops;
    return true;
}

int32_t mapCapacityFor(int32_t addresses) {
    int32_t cap = 64;
    while (cap < addresses * 2 && cap < (1 << 29)) cap <<= 1;
    return cap;
}

bool allocAddresses(WorkBuffers& w, int32_t cap) {
    int32_t mapCap = mapCapacityFor(cap);
    auto* isRef = mem::allocArray<unsigned char>(static_cast<size_t>(cap));
    auto* map = mem::allocArray<AddressSlot>(static_cast<size_t>(mapCap));
    if (!isRef || !map || !allocBuffer(w.addresses, cap)) {
        mem::release(isRef);
        mem::release(map);
        return false;
    }
    mem::release(w.addressIsRef);
    mem::release(w.addressMap);
    w.addressIsRef = isRef;
    w.addressMap = map;
    w.addressMapCap = mapCap;
    return true;
}

void freeAll(WorkBuffers* w) {
    if (!w) return;
    freeBuffer(w->tokens);
    mem::release(w->ops);
    freeBuffer(w->code);
    freeBuffer(w->words);
    freeBuffer(w->values);
    freeBuffer(w->brackets);
    freeBuffer(w->control);
    freeBuffer(w->calls);
    freeBuffer(w->moduleVars);
    freeBuffer(w->addresses);
    mem::release(w->addressIsRef);
    mem::release(w->addressMap);
    mem::destroy(w);
}

// 2n+30, or 0 when that does not fit an int32 entry count.
int32_t grownCapacity(int32_t n) {
    int64_t next = 2 * static_cast<int64_t>(n) + 30;
    return next > INT32_MAX ? 0 : static_cast<int32_t>(next);
}

bool growOne(WorkBuffers& w, int code) {
    switch (code) {
        case kTokensFull: { int32_t c = grownCapacity(w.tokens.cap); return c && allocTokens(w, c); }
        case kCodeFull: { int32_t c = grownCapacity(w.code.cap); return c && allocBuffer(w.code, c); }
        case kWordsFull: { int32_t c = grownCapacity(w.words.cap); return c && allocBuffer(w.words, c); }
        case kValuesFull: { int32_t c = grownCapacity(w.values.cap); return c && allocBuffer(w.values, c); }
        case kBracketsFull: { int32_t c = grownCapacity(w.brackets.cap); return c && allocBuffer(w.brackets, c); }
        case kControlFull: { int32_t c = grownCapacity(w.control.cap); return c && allocBuffer(w.control, c); }
        case kCallsFull: { int32_t c = grownCapacity(w.calls.cap); return c && allocBuffer(w.calls, c); }
        case kModuleVarsFull: { int32_t c = grownCapacity(w.moduleVars.cap); return c && allocBuffer(w.moduleVars, c); }
        case kAddressesFull: { int32_t c = grownCapacity(w.addresses.cap); return c && allocAddresses(w, c); }
        default: return false;
    }
}

}  // namespace

void WorkBuffers::reset() {
    tokens.n = code.n = words.n = values.n = 0;
    brackets.n = control.n = calls.n = moduleVars.n = addresses.n = 0;
    std::memset(addressMap, 0, sizeof(AddressSlot) * static_cast<size_t>(addressMapCap));
}

WorkBuffers* workBuffers() { return g_buffers; }

bool growWorkBuffer(int overflowCode) {
    if (!g_buffers) return false;
    if (growOne(*g_buffers, overflowCode)) return true;
    freeWorkBuffers();
    return false;
}

bool createWorkBuffers() {
    if (g_buffers) return true;
    auto* w = mem::make<WorkBuffers>();
    if (!w) return false;
    bool ok = allocTokens(*w, kInitialTokens) && allocBuffer(w->code, kInitialCode) &&
              allocBuffer(w->words, kInitialWords) && allocBuffer(w->values, kInitialValues) &&
              allocBuffer(w->brackets, kInitialRecords) && allocBuffer(w->control, kInitialRecords) &&
              allocBuffer(w->calls, kInitialRecords) &&
              allocBuffer(w->moduleVars, kInitialModuleVars) &&
              allocAddresses(*w, kInitialAddresses);
    if (!ok) {
        freeAll(w);
        return false;
    }
    g_buffers = w;
    return true;
}

void freeWorkBuffers() {
    freeAll(g_buffers);
    g_buffers = nullptr;
}

}  // namespace qo::lang
