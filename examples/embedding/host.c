/* host.c - a complete C host of the Qo engine.
 *
 * It starts the engine, installs an output function (so that scripts can
 * print with "o"), registers a native function "twice", compiles a formula
 * with a parameter, runs it for a few arguments, reads a run error, and hands
 * a large array of its own to a function while the collector is held.
 * Build: see docs/embedding.md (pkg-config, find_package(Qo), or the build tree);
 * the build compiles it as embedding_host.
 */
#include <stdio.h>
#include <string.h>

#include "qo32.h"

/* The output function: the engine hands over UTF-16 text; this host prints
 * the ASCII part of it (a real host would convert to UTF-8). */
static void output(const char16_t* text) {
    for (; *text; ++text) putchar(*text < 128 ? (char)*text : '?');
}

/* A native function with one parameter: returns twice its int or real argument,
 * and reports a run error for anything else. */
static QoValue* twice(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    (void)lastArg;
    memset(result, 0, sizeof *result);
    if (args[0].type == QO_INT) {
        result->i = 2 * args[0].i;
        result->type = result->optype = QO_INT;
    } else if (args[0].type == QO_REAL) {
        result->r = 2 * args[0].r;
        result->type = result->optype = QO_REAL;
    } else {
        SetRunErr(1, u"twice", 1, 0, caller); /* nil result, error recorded */
    }
    return result;
}

static int compile(const char16_t* text, QoHandle* f) {
    int maxParam = 0, begin = 0, end = 0;
    QoValue* values = NULL;
    int code = QoCom(text, 1, 0, NULL, f, &maxParam, &values, &begin, &end);
    if (code != 0) printf("compile error %d at %d..%d\n", code, begin, end);
    return code;
}

static void report(void) {
    int type = 0, code = 0;
    const char16_t* name = NULL;
    QoHandle where = 0;
    GetRunErr(&type, &name, &code, &where); /* reads and clears the slot */
    if (type == 0) return;
    printf("run error: ");
    output(name);
    printf(" code %d\n", code);
}

int main(void) {
    if (!InitQo()) return 1;
    int32_t zero = 0;
    void* old = NULL;
    InsertKey(&zero, 4, 256, (void*)output, NULL, NULL, 1, &old); /* the output function */
    SetFunction(u"twice", twice, 0);                                /* one parameter */

    QoHandle f = 0;
    if (compile(u"f(x) = o(\"f(\", x, \") = \"), twice(x) + 1", &f) != 0) return 1;
    for (int i = 1; i <= 3; ++i) {
        QoValue arg;
        memset(&arg, 0, sizeof arg);
        arg.i = i;
        arg.type = arg.optype = QO_INT;
        QoValue result;
        QoCal(f, &arg, &result);
        printf("%lld\n", (long long)result.i);
    }

    QoHandle g = 0;
    if (compile(u"twice(\"text\")", &g) != 0) return 1;
    QoValue result;
    QoCal(g, NULL, &result);
    report();

    /* An array the host makes is referenced by no root between its calls:
     * automatic collection is suspended while the host holds it (any creation
     * of an object may collect, here the 20 arrays the first function makes). */
    GC(4);
    QoHandle h = 0, churn = 0, last = 0;
    QoArray* a = (QoArray*)NewSysObj(QO_REALS, 1000000, 1, &h);
    if (!a || compile(u"(: k) = k = 0, while(k < 20, len(new(reals, 100000)), k++), k", &churn) != 0 ||
        compile(u"(a) = A(a, 999999)", &last) != 0)
        return 1;
    a->dims[0] = 1000000; /* its one dimension */
    ((double*)a->data)[999999] = 0.5;
    QoValue array;
    memset(&array, 0, sizeof array);
    array.h = h;
    array.type = array.optype = QO_REALS;
    QoCal(churn, NULL, &result);
    QoCal(last, &array, &result);
    printf("%.1f\n", result.r);
    report();
    DeleteKey(&h, 4, QO_REALS, NULL, 1);
    GC(3);
    FreeQo();
    return 0;
}
