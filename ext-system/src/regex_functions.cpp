// regex_functions.cpp - the script interface of the regular-expression
// engine: one current pattern, one last result and one prepared iteration,
// shared by the whole process (the extension assumes one engine thread).
//
// Searches run under the engine's step budget and stop at an interruption
// request of the host. A search cut short is a failed match plus the run
// error "sys::<function>" with code 10 (step budget spent), 11 (recursion
// into groups too deep) or 12 (no memory for the backtracking stack); an
// interruption is recorded by the engine itself ("QoInterrupt").
#include <new>

#include "regexp.h"
#include "string_kinds.h"
#include "system.h"

namespace qo::sys {
namespace {

namespace rx = qo::regex;

struct RegexState {
    rx::Pattern* current = nullptr;
    rx::MatchResult last;
    // The prepared iteration: its pattern, the text value it reads again at
    // each step (so a text that is gone ends the iteration instead of being
    // read after it was freed), and the matcher's position.
    rx::Pattern* preparedPattern = nullptr;
    QoValue preparedText{};
    rx::Matcher matcher;
    bool prepared = false;
};
RegexState g_rx;

constexpr int kCutShortBase = 10;  // + MatchError - 1

QoValue* put(QoValue* result, const QoValue& v) {
    *result = v;
    return result;
}
QoValue* fail(QoValue* result, const char16_t* name, int code, CallInfo* caller) {
    return failWith(result, name, code, caller, nilValue());
}

// The text of a static string or string object (up to its first NUL). False
// when the value is not a readable string.
bool textOf(const QoValue& v, CallInfo* caller, const char16_t** text, int* length) {
    TextArg t;
    if ((v.type != QO_STATIC_STRING && v.type != QO_STRING) || !readText(v, caller, &t)) return false;
    *text = t.units;
    *length = t.length;
    return true;
}

// Polled by the matcher: takes a pending interruption request of the host
// (the engine records "QoInterrupt" for the calling function).
bool interrupted(void* caller) { return engine.ExMsgWithQo(12, caller, nullptr, nullptr) == 1; }

rx::Limits limitsFor(CallInfo* caller) {
    rx::Limits limits;
    limits.interrupted = interrupted;
    limits.user = caller;
    return limits;
}

void reportCutShort(const char16_t* name, int error, CallInfo* caller) {
    if (error == rx::kMatchOk || error == rx::kInterrupted) return;
    engine.SetRunErr(1, name, kCutShortBase + error - 1, 0, caller);
}

void setPattern(rx::Pattern*& slot, rx::Pattern* p) {
    if (p) p->AddRef();
    if (slot) slot->Release();
    slot = p;
}

void dropPrepared() {
    g_rx.prepared = false;
    setPattern(g_rx.preparedPattern, nullptr);
}

}  // namespace

QoValue* comRegex(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::ComRegex";
    if (lastArg > 1) return fail(result, kName, 1, caller);
    const char16_t* text = nullptr;
    int length = 0;
    if (lastArg < 0 || !textOf(args[0], caller, &text, &length) || (lastArg == 1 && !isInt(args[1])))
        return fail(result, kName, 2, caller);
    int flags = lastArg == 1 ? static_cast<int>(args[1].i) : 0;
    rx::CompileError error;
    rx::Pattern* p = rx::Pattern::Compile(text, length, flags, &error);
    setPattern(g_rx.current, nullptr);
    if (!p) return fail(result, kName, error.status == rx::kCompileNoMemory ? 4 : 3, caller);
    g_rx.current = p;
    return put(result, args[0]);
}

QoValue* matchExact(QoValue* result, int, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::MatchExact";
    const char16_t* text = nullptr;
    int length = 0;
    if (!textOf(args[0], caller, &text, &length)) return fail(result, kName, 1, caller);
    g_rx.last.Reset();
    if (g_rx.current) {
        int error = 0;
        rx::MatchExact(*g_rx.current, text, length, limitsFor(caller), &g_rx.last, &error);
        reportCutShort(kName, error, caller);
    }
    return put(result, args[0]);
}

QoValue* match(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::Match";
    if (lastArg > 1) return fail(result, kName, 1, caller);
    g_rx.last.Reset();
    if (lastArg < 0) {  // the next match of the prepared iteration
        const char16_t* text = nullptr;
        int length = 0;
        if (!g_rx.prepared) return put(result, nilValue());
        if (!textOf(g_rx.preparedText, caller, &text, &length)) {
            dropPrepared();
            return put(result, nilValue());
        }
        g_rx.matcher.SetText(text, length);
        g_rx.matcher.SetLimits(limitsFor(caller));  // this call's record, for the interruption
        if (!g_rx.matcher.Next(&g_rx.last)) reportCutShort(kName, g_rx.matcher.Error(), caller);
        return put(result, g_rx.preparedText);
    }
    const char16_t* text = nullptr;
    int length = 0;
    if (!textOf(args[0], caller, &text, &length) || (lastArg == 1 && !isInt(args[1])))
        return fail(result, kName, 2, caller);
    int64_t start = lastArg == 1 ? args[1].i : -1;
    if (g_rx.current && start >= -1 && start <= length) {
        int error = 0;
        rx::Search(*g_rx.current, text, length, static_cast<int>(start), limitsFor(caller), &g_rx.last, &error);
        reportCutShort(kName, error, caller);
    }
    return put(result, args[0]);
}

QoValue* prepareMatch(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::PrepareMatch";
    if (lastArg > 1 || lastArg < 0) return fail(result, kName, lastArg < 0 ? 2 : 1, caller);
    const char16_t* text = nullptr;
    int length = 0;
    if (!textOf(args[0], caller, &text, &length) || (lastArg == 1 && !isInt(args[1])))
        return fail(result, kName, 2, caller);
    dropPrepared();
    int64_t start = lastArg == 1 ? args[1].i : -1;
    if (g_rx.current && start >= -1 && start <= length) {
        setPattern(g_rx.preparedPattern, g_rx.current);
        g_rx.preparedText = args[0];
        g_rx.prepared = g_rx.matcher.Reset(g_rx.preparedPattern, text, length, static_cast<int>(start), limitsFor(caller));
        if (!g_rx.prepared) {
            dropPrepared();
            return fail(result, kName, 4, caller);
        }
    }
    return put(result, args[0]);
}

QoValue* getNamedGroupNumber(QoValue* result, int, QoValue* args, CallInfo* caller) {
    const char16_t* text = nullptr;
    int length = 0;
    if (!textOf(args[0], caller, &text, &length)) return fail(result, u"sys::GetNamedGroupNumber", 1, caller);
    return put(result, intValue(g_rx.current ? g_rx.current->GroupNumber(text, length) : -1));
}

QoValue* replace(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::Replace";
    if (lastArg < 1 || lastArg > 3) return fail(result, kName, 1, caller);
    const char16_t *text = nullptr, *with = nullptr;
    int length = 0, withLength = 0;
    if (!textOf(args[0], caller, &text, &length) || !textOf(args[1], caller, &with, &withLength) ||
        (lastArg >= 2 && !isInt(args[2])) || (lastArg == 3 && !isInt(args[3])))
        return fail(result, kName, 2, caller);
    if (!g_rx.current) return fail(result, kName, 3, caller);
    int64_t start = lastArg >= 2 ? args[2].i : -1, count = lastArg == 3 ? args[3].i : -1;
    if (start < -1 || start > length) start = length + 1;  // no match: the text unchanged
    if (count < -1) count = 0;
    if (count > INT32_MAX) count = -1;
    rx::CBufferT<char16_t> out;
    int error = 0;
    if (!rx::Replace(*g_rx.current, text, length, with, withLength, static_cast<int>(start), static_cast<int>(count),
                     limitsFor(caller), &out, &error)) {
        if (error == rx::kInterrupted) return put(result, nilValue());
        return fail(result, kName, error == rx::kMatchNoMemory ? 3 : kCutShortBase + error - 1, caller);
    }
    if (!returnString(result, out.GetBuffer(), out.GetSize(), caller)) return fail(result, kName, 3, caller);
    return result;
}

QoValue* isMatched(QoValue* result, int, QoValue*, CallInfo*) {
    QoValue v{};
    v.i = g_rx.last.IsMatched() ? 1 : 0;
    v.type = v.optype = QO_LOGICAL;
    return put(result, v);
}

QoValue* getStart(QoValue* result, int, QoValue*, CallInfo*) { return put(result, intValue(g_rx.last.GetStart())); }
QoValue* getEnd(QoValue* result, int, QoValue*, CallInfo*) { return put(result, intValue(g_rx.last.GetEnd())); }

QoValue* getGroupStart(QoValue* result, int, QoValue* args, CallInfo* caller) {
    if (!isInt(args[0])) return fail(result, u"sys::GetGroupStart", 1, caller);
    int64_t n = args[0].i;
    return put(result, intValue(n >= 0 && n <= g_rx.last.MaxGroupNumber() ? g_rx.last.GroupStart(static_cast<int>(n)) : -1));
}

QoValue* getGroupEnd(QoValue* result, int, QoValue* args, CallInfo* caller) {
    if (!isInt(args[0])) return fail(result, u"sys::GetGroupEnd", 1, caller);
    int64_t n = args[0].i;
    return put(result, intValue(n >= 0 && n <= g_rx.last.MaxGroupNumber() ? g_rx.last.GroupEnd(static_cast<int>(n)) : -1));
}

QoValue* maxGroupNumber(QoValue* result, int, QoValue*, CallInfo*) {
    return put(result, intValue(g_rx.last.MaxGroupNumber()));
}

void releaseRegexState() {
    dropPrepared();
    setPattern(g_rx.current, nullptr);
    g_rx.last.Reset();
    g_rx.matcher.Reset(nullptr, nullptr, 0, -1, rx::Limits{});
    rx::ReleaseSharedPatterns();
}

}  // namespace qo::sys
