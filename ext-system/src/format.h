// format.h - printf-style output and scanf-style input over script values.
//
// Directives are checked here, one at a time; numbers are then formatted by
// the C library's snprintf and scanned by its swscanf, each directive with
// the raw payload of its argument read as the directive's C type (nothing is
// converted by the value's type). Texts written to files are UTF-8.
#pragma once
#include "system.h"

namespace qo::sys {

QoValue* printf_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* sprintf_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* fprintf_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* sscanf_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* fscanf_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* setlocale_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);

}  // namespace qo::sys
