// QoCom: the exported entry of the compiler.
#include "compiler.h"
#include "qo32.h"

extern "C" QO_API int QoCom(const char16_t* source, int module, int autoVars, QoOwnerFn lockFn,
                            QoHandle* handle, int* maxParam, QoValue** values, int* errBegin,
                            int* errEnd) {
    return qo::lang::compileSource(source, module, autoVars, lockFn, handle, maxParam, values,
                                   errBegin, errEnd);
}
