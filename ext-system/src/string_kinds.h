// string_kinds.h - the String and astring kinds and the helpers that other parts of
// the library use to read and make strings.
//
// A String is an engine string object (type -254) whose optype is the
// sys::String key type. Texts are read with GetStr, so static strings and
// string objects are accepted alike. Making an object may run the collector or
// hand back an object from the reuse cache, so a pointer read with readText is
// only good until the next object is made: read the text again afterwards.
//
// An astring is an object of the sys::astring key type: a NUL-terminated UTF-8
// byte buffer (the library's ANSI code page is UTF-8) and its size in bytes,
// terminator included.
#pragma once
#include <cstdint>

#include "system.h"

namespace qo::sys {

// A text as GetStr gives it: `capacity` is the length GetStr reports (for a
// string object its capacity, for a static string the units with the
// terminator); `length` is the units before the first zero, never past it.
struct TextArg {
    char16_t* units = nullptr;
    int32_t capacity = 0;
    int32_t length = 0;
};
bool readText(const QoValue& v, CallInfo* caller, TextArg* t);

// The record of a live string object (type -254), or null.
QoString* stringObject(const QoValue& v);

// Makes a String of `capacity` units (at least 1) whose text is empty; *out
// becomes its value. Null when the engine cannot make it. The caller reports
// the new object with FunReObj once it is filled.
QoString* makeString(int32_t capacity, QoValue* out);

// Makes a String holding units[0..n) and its terminator, reports it as a new
// object and stores it in *result; false (and *result nil) when it cannot be
// made. `units` must not point into an engine string object (copy it first).
bool returnString(QoValue* result, const char16_t* units, int32_t n, CallInfo* caller);

struct Astring {
    char* bytes;   // malloc'd, NUL-terminated
    int32_t size;  // bytes, terminator included
};
// The record of a live astring value, or null.
Astring* astringOf(const QoValue& v);

// Writes a NUL-terminated text through the host's output function; false
// when the host has none.
bool writeOutput(const char16_t* text);

// Small value and error helpers shared by the string, format and file parts.
using ext::intValue;
inline QoValue* putInt(QoValue* result, int64_t i) {
    *result = intValue(i);
    return result;
}
inline QoValue* putNil(QoValue* result) {
    *result = nilValue();
    return result;
}
// Reports run error `code` under `name` and stores `value` as the result.
inline QoValue* failWith(QoValue* result, const char16_t* name, int code, CallInfo* caller, const QoValue& value) {
    engine.SetRunErr(1, name, code, 0, caller);
    *result = value;
    return result;
}
inline bool isInt(const QoValue& v) { return v.type == QO_INT; }

// String functions (strings.cpp).
QoValue* stringCopy(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);  // sys::String
QoValue* ustr(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* astr(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strlen_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strcpy_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strcat_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* substr(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strchr_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strrchr_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strcmp_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strpbrk_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strspn_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strstr_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strtok_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strlwr(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strupr(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strset(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strrev(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strrep(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strdate(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* strtime(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);

// The kinds' delete and operator functions.
void deleteAstring(void* record);
QoValue* stringOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code);
QoValue* astringOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code);

}  // namespace qo::sys
