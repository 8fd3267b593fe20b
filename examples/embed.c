/* A host that embeds the engine: compile a formula with parameters once,
 * evaluate it for several arguments, and read run errors. */
#include <stdio.h>
#include <string.h>

#include "qo32.h"

static void print(const QoValue* v) {
    switch (v->optype) {
    case QO_INT: printf("%lld", (long long)v->i); break;
    case QO_REAL: printf("%.16g", v->r); break;
    case QO_LOGICAL: printf(v->i ? "true" : "false"); break;
    default: printf("<type %d>", v->optype); break;
    }
}

int main(void) {
    if (!InitQo()) {
        fprintf(stderr, "the engine could not start\n");
        return 1;
    }
    const char16_t* text = u"f(x, y : t) = t = x*x + y*y, sqrt(t)";
    QoHandle f = 0;
    int maxParam = 0, begin = 0, end = 0;
    QoValue* values = NULL;
    int code = QoCom(text, 1, 0, NULL, &f, &maxParam, &values, &begin, &end);
    if (code != 0) {
        fprintf(stderr, "compile error %d at %d..%d\n", code, begin, end);
        FreeQo();
        return 1;
    }
    for (int i = 1; i <= 4; ++i) {
        QoValue args[2];
        memset(args, 0, sizeof args);
        args[0].r = 3.0 * i;
        args[0].type = args[0].optype = QO_REAL;
        args[1].r = 4.0 * i;
        args[1].type = args[1].optype = QO_REAL;
        QoValue result;
        QoCal(f, args, &result);
        printf("f(%g, %g) = ", args[0].r, args[1].r);
        print(&result);
        printf("\n");
    }
    int type = 0, errCode = 0;
    const char16_t* name = NULL;
    QoHandle where = 0;
    GetRunErr(&type, &name, &errCode, &where);
    printf("run error type: %d\n", type);
    FreeQo();
    return 0;
}
