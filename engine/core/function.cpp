#include "function.h"

#include <cstring>

#include "alloc.h"
#include "engine.h"
#include "keytable.h"
#include "registry.h"
#include "value.h"

namespace qo::fn {
namespace {

template <class T>
T* copyArray(const T* from, int32_t count) {
    T* to = mem::allocArray<T>(count > 0 ? static_cast<size_t>(count) : 1);
    if (to && count > 0) std::memcpy(static_cast<void*>(to), from, sizeof(T) * count);
    return to;
}

void freeArrays(Record* r) {
    mem::release(r->code);
    mem::release(r->words);
    mem::release(r->values);
    mem::release(r->moduleVars);
    mem::release(r->addresses);
    r->ready = nullptr;  // its code goes with the plan
    lang::releasePlan(r->threaded);
    mem::release(r->spans);
    r->threaded = nullptr;
    r->spans = nullptr;
    r->spanCount = 0;
    r->code = nullptr;
    r->words = nullptr;
    r->values = nullptr;
    r->moduleVars = nullptr;
    r->addresses = nullptr;
}

CallerNode** refHead(Record* r, int k) {
    int32_t idx = r->words[k];
    if (idx < 0 || idx >= r->addressCount) return nullptr;
    return static_cast<CallerNode**>(r->addresses[idx]);
}

void removeCaller(CallerNode** head, Record* caller) {
    for (CallerNode** link = head; *link; link = &(*link)->next) {
        if ((*link)->caller == caller) {
            CallerNode* n = *link;
            *link = n->next;
            mem::release(n);
            return;
        }
    }
}

// Takes r off the caller list of every item of its reference list.
void leaveCalleeLists(Record* r) {
    for (int k = r->words[W_REF_FIRST]; k <= r->words[W_REF_LAST]; ++k)
        if (CallerNode** head = refHead(r, k)) removeCaller(head, r);
}

bool joinCalleeLists(Record* r) {
    for (int k = r->words[W_REF_FIRST]; k <= r->words[W_REF_LAST]; ++k) {
        CallerNode** head = refHead(r, k);
        if (head && !addCaller(head, r)) {
            for (int j = r->words[W_REF_FIRST]; j < k; ++j)
                if (CallerNode** h = refHead(r, j)) removeCaller(h, r);
            return false;
        }
    }
    return true;
}

bool linkName(Record* r) {
    int len = nameLength(r);
    if (len <= 0) return true;
    keys::Entry* e = nullptr;
    int res = keys::insert(nameOf(r), len * 2, keys::kFunctionByName, r, nullptr, nullptr, false, &e);
    if (res == keys::kExists) {
        Record* newest = static_cast<Record*>(e->value);
        r->older = newest;
        newest->newer = r;
        e->value = r;
        return true;
    }
    return res == keys::kInserted;
}

void unlinkName(Record* r) {
    int len = nameLength(r);
    if (len <= 0) return;
    if (r->newer) r->newer->older = r->older;
    if (r->older) r->older->newer = r->newer;
    keys::Entry* e = keys::search(nameOf(r), len * 2, keys::kFunctionByName);
    if (e && e->value == r) {
        if (r->older) e->value = r->older;
        else keys::remove(nameOf(r), len * 2, keys::kFunctionByName, 0);
    }
    r->newer = r->older = nullptr;
}

bool copyImage(Record* r, const Image& im) {
    r->code = copyArray(im.code, im.codeLength);
    r->words = copyArray(im.words, im.wordCount);
    r->values = copyArray(im.values, im.valueCount);
    r->moduleVars = copyArray(im.moduleVars, im.moduleVarCount);
    r->addresses = copyArray(im.addresses, im.addressCount);
    if (!r->code || !r->words || !r->values || !r->moduleVars || !r->addresses) {
        freeArrays(r);
        return false;
    }
    r->moduleVarCount = im.moduleVarCount;
    r->addressCount = im.addressCount;
    // The spans only serve error positions: without memory for them the
    // function is made all the same.
    r->spans = im.spanCount > 0 ? copyArray(im.spans, im.spanCount) : nullptr;
    r->spanCount = r->spans ? im.spanCount : 0;
    return true;
}

bool registerAddress(Record* r) {
    return keys::insert(&r, sizeof r, keys::kFunctionByAddress, r, nullptr, nullptr, false, nullptr) ==
           keys::kInserted;
}

void unregisterAddress(Record* r) { keys::remove(&r, sizeof r, keys::kFunctionByAddress, 0); }

// The record whose last run (below) is in progress: its handle entry is gone
// already, but its own code still names it (static strings and arrays, "free",
// "OutFun"), so lookup() still finds it while it runs.
Record* g_lastRun = nullptr;

void releaseList(Record* r);

// The run on destruction of a function with a static variable named free.
void runFree(Record* r) {
    int32_t freeSlot = r->words[W_FREE_SLOT];
    r->values[freeSlot] = makeLogical(true);
    int32_t nargs = r->words[W_MAX_PARAM] + 1;
    QoValue* args = mem::allocArray<QoValue>(nargs > 0 ? nargs : 1);
    if (!args) return;
    for (int32_t i = 0; i < nargs; ++i) args[i] = makeNil();
    QoValue result;
    Record* outer = g_lastRun;
    g_lastRun = r;
    lang::run(r, args, &result);
    g_lastRun = outer;
    mem::release(args);
    releaseList(r);  // what the run tied to the function with "free"

    for (int32_t i = r->words[W_STATIC_FIRST] + 1; i < freeSlot; ++i)
        if (refersToObject(r->values[i])) keys::remove4(r->values[i].h, r->values[i].type, 1);
}

void releaseList(Record* r) {
    while (ReleaseNode* n = r->releaseList) {
        r->releaseList = n->next;
        if (!g.sweeping) keys::remove4(n->handle, n->keyType, 1);
        mem::release(n);
    }
}

}  // namespace

Record* reserve(QoHandle* handle) {
    auto* r = static_cast<Record*>(mem::allocateZeroed(sizeof(Record)));
    if (r && handle) *handle = keys::drawHandle();
    return r;
}

void abandon(Record* r) {
    if (!r) return;
    freeArrays(r);
    mem::release(r);
}

int install(Record* r, QoHandle handle, const Image& im) {
    if (!r || !copyImage(r, im)) {
        abandon(r);
        return 1;
    }
    r->words[W_CODE_LENGTH] = im.codeLength;
    r->words[W_WORD_COUNT] = im.wordCount;
    r->words[W_VALUE_COUNT] = im.valueCount;
    r->words[W_SELF_HANDLE] = handle;
    r->words[W_CALLER_LIST] = 0;
    int32_t module = moduleOf(r);
    if (!reg::addModuleRef(module)) {
        abandon(r);
        return 1;
    }
    bool joined = joinCalleeLists(r);
    bool named = joined && linkName(r);
    bool addressed = named && registerAddress(r);
    if (addressed &&
        keys::insert(&handle, 4, keys::kFunctionByHandle, r, destroy, nullptr, false, nullptr) ==
            keys::kInserted)
        return 0;
    if (addressed) unregisterAddress(r);
    if (named) unlinkName(r);
    if (joined) leaveCalleeLists(r);
    reg::dropModuleRef(module);
    abandon(r);
    return 1;
}

Record* lookupSlow(QoHandle h) {
    if (h == 0) return nullptr;
    keys::Entry* e = keys::search(&h, 4, keys::kFunctionByHandle);
    if (e) return static_cast<Record*>(e->value);
    return g_lastRun && handleOf(g_lastRun) == h ? g_lastRun : nullptr;
}

const SourceSpan* spanAt(const Record* r, int32_t at) {
    int32_t lo = 0, hi = r->spanCount;
    while (lo < hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (r->spans[mid].at < at) lo = mid + 1;
        else hi = mid;
    }
    return lo < r->spanCount && r->spans[lo].at == at ? &r->spans[lo] : nullptr;
}

Record* fromAddress(const void* address) {
    if (!address) return nullptr;
    keys::Entry* e = keys::search(&address, sizeof address, keys::kFunctionByAddress);
    return e ? static_cast<Record*>(e->value) : nullptr;
}

void destroy(void* record) {
    auto* r = static_cast<Record*>(record);
    bool quiet = g.sweeping || g.shuttingDown;
    r->destroying = true;
    releaseList(r);
    if (!quiet) {
        if (r->newtype) keys::unlockType(r->newtype);
        if (g.err.function == handleOf(r)) g.err.function = 0;
        if (r->code) {
            unlinkName(r);
            unregisterAddress(r);
            if (r->words[W_FREE_SLOT] != 0 && codeStart(r) >= 0) runFree(r);
            reg::dropModuleRef(moduleOf(r));
        }
        invalidateCallers(&r->callers, r, kCalleeFunctionDeleted);
        if (r->code) leaveCalleeLists(r);
    } else {
        dropCallers(&r->callers);
    }
    freeArrays(r);
    mem::release(r);
}

bool addCaller(CallerNode** head, Record* caller) {
    auto* n = mem::make<CallerNode>(CallerNode{caller, *head});
    if (!n) return false;
    *head = n;
    return true;
}

void invalidateCallers(CallerNode** head, const void* callee, int32_t mark) {
    while (CallerNode* n = *head) {
        *head = n->next;
        Record* c = n->caller;
        mem::release(n);
        if (!c->words) continue;
        c->words[W_CODE_START] = mark;
        c->ready = nullptr;
        for (int32_t i = 0; i < c->addressCount; ++i)
            if (c->addresses[i] == callee) c->addresses[i] = nullptr;
        for (int k = c->words[W_REF_FIRST]; k <= c->words[W_REF_LAST]; ++k)
            if (refHead(c, k) == head) c->words[k] = -1;
    }
}

void dropCallers(CallerNode** head) {
    while (CallerNode* n = *head) {
        *head = n->next;
        mem::release(n);
    }
}

bool addRelease(Record* r, QoHandle object, int32_t keyType) {
    auto* n = mem::make<ReleaseNode>(ReleaseNode{object, keyType, r->releaseList});
    if (!n) return false;
    r->releaseList = n;
    return true;
}

}  // namespace qo::fn
