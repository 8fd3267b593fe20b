// printer.h - the console's output function and the result printer.
//
// The output function writes UTF-16 text to standard output as UTF-8, turning
// "\r\n" into "\n" (also when the pair is split between two calls). The result
// printer writes one value per line through the output function, in the forms
// of values.h.
#pragma once
#include <string>

#include "engine_api.h"

namespace qo::console {

void writeOutput(const char16_t* text);
void writeMessage(const char16_t* text);    // manager messages, to standard error
bool runErrorSeen();                        // a run-error message was written since the last reset
void resetRunErrorSeen();
void flushOutput();

void setPrinterEngine(const frontend::EngineApi* api);
void printResult(QoValue* value);

}  // namespace qo::console
