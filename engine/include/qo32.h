/* qo32.h - the exported interface of the Qo engine library (libqo32.so).
 *
 * One engine exists per process. It is single-threaded: callers serialise every
 * call. Nothing here throws; failures are result codes or null pointers, and
 * run-time errors go to the engine's run-error slot (GetRunErr).
 *
 * Handles (objects, compiled functions, unique names) are 32-bit numbers in
 * 1..2^31-1 drawn by the engine; 0 is never a handle. The engine never trusts a
 * handle: every use is looked up in its key table.
 */
#ifndef QO32_H
#define QO32_H

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#if defined(QO_BUILDING_ENGINE)
#define QO_API __attribute__((visibility("default")))
#else
#define QO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t QoHandle;

/* Storage tags (QoValue.type) and the operator type (QoValue.optype). */
enum {
    QO_NIL = 0, QO_FUNCTION = 1, QO_INT = 2, QO_REAL = 3, QO_COMPLEX = 4,
    QO_VECTOR = 5, QO_REAL2 = 6, QO_LOGICAL = 7, QO_KEYWORD = 8,
    QO_STATIC_STRING = 9, QO_STATIC_INTS = 10, QO_STATIC_REALS = 11,
    QO_UNIQUE_NAME = 12, QO_POINTER = 13,
    QO_TABLE = -255, QO_STRING = -254, QO_INTS = -253, QO_REALS = -252
};

/* A static string or static array: the text lives in the code array of the
 * compiled function `function`, from UTF-16 unit `start`, `length` units
 * (terminating zero included). */
typedef struct QoStaticRef {
    int32_t function, pad0;
    int32_t start, pad1;
    int32_t length, pad2;
} QoStaticRef;

/* The 32-byte value record. A handle in the payload is an int32 at byte 0 with
 * bytes 4..7 zero; type 13 holds a 64-bit pointer at bytes 0..7. */
typedef struct QoValue {
    union {
        int64_t i;        /* nil, int, logical, keyword, unique name */
        double r;         /* real, second real kind */
        double c[2];      /* complex: real, imaginary */
        double vec[3];    /* vector */
        int32_t h;        /* object or function handle */
        void* p;          /* type 13 */
        QoStaticRef s;    /* types 9, 10, 11 */
        unsigned char raw[24];
    };
    int32_t optype;
    int32_t type;
} QoValue;

/* The call record that native and operator functions receive. */
typedef struct CallInfo {
    QoHandle function;   /* the calling compiled function */
    uint32_t flags;      /* byte 0: new-object flag; byte 1: release flag */
} CallInfo;

typedef QoValue* (*QoNativeFn)(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
typedef QoValue* (*QoOperatorFn)(QoValue* result, int lastArg, QoValue* args, CallInfo* caller,
                                 int code);
typedef void (*QoDeleteFn)(void* value);
typedef void (*QoMarkFn)(void* value);
typedef void (*QoOwnerFn)(void);
typedef int (*QoEnumFn)(const char* key, int keyLen, void* value);
typedef void (*QoOutputFn)(const char16_t* text);
/* A method that a kind's member slot function names for oget(x, #name, v1..vk):
 * the engine calls `function` as QoCal would, on (self, v1..vk), between
 * enter(record) and leave(record), when the function takes k + 1 parameters
 * (or none when k is 0); otherwise it asks the operator function. */
typedef struct QoMemberMethod {
    QoHandle function;
    QoValue self;
    void* record;
    void (*enter)(void* record);
    void (*leave)(void* record);
} QoMemberMethod;

/* A kind's member slot function (SetMemberSlot): the record whose copy
 * oget(*object, *name) answers, for every caller and site alike, and in
 * *counter the address of a counter that changes before that record moves,
 * is freed or stops being that answer; null for "ask the operator function".
 * With a null answer it may instead fill *method (whose function the engine
 * sets to 0 first) with the method that oget(*object, *name, ...) calls, under
 * the same counter. */
typedef const QoValue* (*QoMemberSlotFn)(const QoValue* object, const QoValue* name,
                                         const uint64_t** counter, QoMemberMethod* method);

/* Object records of the built-in kinds. */
typedef struct QoTable { QoValue* items; int32_t count; } QoTable;
typedef struct QoString { char16_t* text; int32_t capacity; } QoString;
typedef struct QoArray { void* data; int32_t count; int32_t* dims; int32_t ndims; } QoArray;

/* Engine state and run errors. */
QO_API int InitQo(void);
QO_API void* FreeQo(void);
QO_API const char16_t* QoVer(void);
QO_API int GetRunErr(int* type, const char16_t** name, int* code, QoHandle* function);
QO_API void SetRunErr(int type, const char16_t* name, int code, int handleIsDirect,
                      const void* handle);
QO_API int TestRunErr(void);
QO_API intptr_t ExMsgWithQo(int message, void* a, void* b, void* c);

/* Key table. */
QO_API int InsertKey(void* key, int keyLen, int keyType, void* value, QoDeleteFn deleteFn,
                     QoMarkFn markFn, int replace, void** oldValue);
QO_API void* SearchKey(const void* key, int keyLen, int keyType);
QO_API int DeleteKey(const void* key, int keyLen, int keyType, QoDeleteFn deleteFn, int mode);
QO_API void EnumKey(int keyType, char* keyBuf, int bufLen, QoEnumFn callback);
QO_API int LockKey(int keyType, QoDeleteFn deleteFn, QoOperatorFn operatorFn);
QO_API int SetMemberSlot(int keyType, QoOperatorFn operatorFn, QoMemberSlotFn slotFn);

/* Registration, function lookup and modules. */
QO_API int SetFunction(const char16_t* name, QoNativeFn fn, int argCode);
QO_API int SetConst(const char16_t* name, const QoValue* value);
QO_API int GetFor(const char16_t* name, int visibility, const CallInfo* caller, int* module,
                  QoHandle* handle, QoValue** values, int* maxParam);
QO_API int IsFor(const char16_t* name, int module, QoHandle handle, const QoValue* values,
                 int maxParam);
QO_API int ParaModify(QoHandle handle);
QO_API int DeleteFor(QoHandle handle, QoOwnerFn owner);
QO_API char16_t* GetStr(const QoValue* value, const CallInfo* caller, int* length);
QO_API void* GetArray(const QoValue* value, const CallInfo* caller, int* count);
QO_API int LockModule(int module, QoOwnerFn owner, int lock);
QO_API int StrToUniInt(const void* bytes, int len);
QO_API const void* UniIntToStr(int number, int* len);

/* System objects and garbage collection. */
QO_API void* NewSysObj(int type, int size, int ndims, QoHandle* handle);
QO_API int SetSysObj(int type, void* object, int size, int ndims, int keep);
QO_API void* GetBufObj(int type, QoHandle* handle);
QO_API QoValue* ExeOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller,
                            int opcode, int type);
QO_API CallInfo* FunReObj(CallInfo* caller);
QO_API void FunSaveObj(CallInfo* caller, const QoValue* value, intptr_t level);
QO_API int SignGoodObj(const QoValue* value);
QO_API int GC(int command);

/* Compiler and executor. */
QO_API int QoCom(const char16_t* source, int module, int autoVars, QoOwnerFn lockFn,
                 QoHandle* handle, int* maxParam, QoValue** values, int* errBegin, int* errEnd);
QO_API QoValue* QoCal(QoHandle function, QoValue* args, QoValue* result);

#ifdef __cplusplus
}
#endif

#endif /* QO32_H */
