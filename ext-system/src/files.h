// files.h - the sys::file kind: C streams that scripts open, read and write.
//
// A file value has type and optype sys::file and an engine-numbered handle;
// the key-table entry holds a File record with the stream. Deleting the entry
// (fclose, or the collector when nothing refers to the value any more) closes
// the stream, so a file value whose entry is gone is a closed file.
#pragma once
#include <cstdint>
#include <cstdio>

#include "system.h"

namespace qo::sys {

struct File {
    std::FILE* stream;
    int64_t knownSize;  // the file's size when fscanf last measured it; -1 after a write
};

// The record of an open file value, or null.
File* fileOf(const QoValue& v);
// The stream of an open file value, or null.
std::FILE* streamOf(const QoValue& v);

// A malloc'd, NUL-terminated UTF-8 copy of a string value's text (file names,
// locale names), or null when v is not a string or memory fails.
char* utf8Text(const QoValue& v, CallInfo* caller);

QoValue* fopen_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* fclose_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* fwrite_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* fread_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* fseek_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* feof_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* fflush_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* ftell_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* rewind_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* readtxt(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* writetxt(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);

void deleteFile(void* record);
QoValue* fileOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code);

}  // namespace qo::sys
