// modules.cpp - compiling a module text item by item, running it, deleting it.
//
// Lifetime of what items make: every top-level item runs as if it began with
// global(true) (runItem), so the objects it makes, and those that functions
// hand back to it, are left to the collector instead of being released at the
// item's end; what a module variable holds therefore lives as long as the
// variable refers to it. The variables themselves live as long as the module:
// each module has an anchor function that keeps its module record, and the
// items of a session's earlier texts are kept (not run again), so that the
// collector still finds the module variables they name.
#include <algorithm>

#include "manager.h"
#include "mqo32.h"

namespace qo::mqo {
namespace {

struct ItemError {
    int code = 0;
    int begin = 0;
    int end = 0;
};

// Compiles one item; on success *handle is the new function.
struct Compilation {
    Module* module;
    bool session;
    const std::u16string& text;  // the whole module text, comments blanked
    size_t firstNew;             // entries from here on belong to this text

    ItemError compile(const Item& item);

private:
    // The entry of an item compiled from the module's newest text.
    Entry entryOf(ItemKind kind, QoHandle handle, const Item& item) const {
        Entry e{kind, handle, kind == ItemKind::kDefinition ? item.name : std::u16string(), {}, false};
        e.text = static_cast<int>(module->texts.size()) - 1;
        e.textBegin = item.span.begin;
        return e;
    }
    ItemError compileFunction(const Item& item, int moduleNumber, int autoVars, QoHandle* handle);
    ItemError compileDefinition(const Item& item);
    ItemError runDeclaration(const Item& item);
    ItemError useModule(const Item& item);
    bool replaceDefinition(const std::u16string& name);
};

int firstUnit(const std::u16string& text, Span span) {
    int i = span.begin;
    while (i < span.end && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\r' || text[i] == u'\n')) ++i;
    return i;
}

// Collects the run error, prints its message when there is one, and returns
// its type. Compile error 36 (a run error stopped the compilation, usually one
// that constant folding met, as in sqrt(25): sqrt takes reals) reports it too,
// so that the user learns what failed.
int reportRunError() {
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    manager().api.GetRunErr(&type, &name, &code, &where);
    if (type != 0) printMessage(runErrorMessage(type, name, code, where));
    return type;
}

ItemError Compilation::compileFunction(const Item& item, int moduleNumber, int autoVars, QoHandle* handle) {
    Manager& m = manager();
    std::u16string source = text.substr(item.span.begin, item.span.end - item.span.begin);
    if (item.tildeAt >= 0) source[item.tildeAt - item.span.begin] = u' ';
    int maxParam = 0, begin = 0, end = 0;
    QoValue* values = nullptr;
    int code = m.api.QoCom(source.c_str(), moduleNumber, autoVars, &moduleOwner, handle, &maxParam, &values, &begin,
                           &end);
    if (code == 0) return {};
    if (code == 36) reportRunError();
    if (code == -2 || code == 36) {
        int at = firstUnit(text, item.span);
        return {code, at, at};
    }
    begin = std::clamp(begin, 0, static_cast<int>(source.size()));
    end = std::clamp(end, begin, static_cast<int>(source.size()));
    return {code, item.span.begin + begin, item.span.begin + end};
}

// A session replaces a definition of its own module: the old function goes and
// the new text is compiled again.
bool Compilation::replaceDefinition(const std::u16string& name) {
    if (!session || name.empty()) return false;
    auto& entries = module->entries;
    auto old = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) {
        return e.kind == ItemKind::kDefinition && e.name == name;
    });
    if (old == entries.end()) return false;
    if (!manager().api.DeleteFor(old->handle, &moduleOwner)) return false;
    size_t index = old - entries.begin();
    entries.erase(old);
    if (index < firstNew) --firstNew;
    return true;
}

ItemError Compilation::compileDefinition(const Item& item) {
    int number = item.isPublic ? module->number : -module->number;
    QoHandle handle = 0;
    ItemError err = compileFunction(item, number, 0, &handle);
    if (err.code == 29 && replaceDefinition(item.name)) err = compileFunction(item, number, 0, &handle);
    if (err.code) return err;
    module->entries.push_back(entryOf(ItemKind::kDefinition, handle, item));
    return {};
}

ItemError Compilation::runDeclaration(const Item& item) {
    Manager& m = manager();
    QoHandle handle = 0;
    ItemError err = compileFunction(item, -module->number, 1, &handle);
    if (err.code) return err;
    Entry entry = entryOf(ItemKind::kDeclaration, handle, item);
    runItem(handle, &entry.result);
    if (reportRunError() > 0) {
        m.api.DeleteFor(handle, &moduleOwner);
            int at = firstUnit(text, item.span);
        return {36, at, at};
    }
    module->entries.push_back(entry);
    return {};
}

ItemError Compilation::useModule(const Item& item) {
    Manager& m = manager();
    int at = firstUnit(text, item.span);
    void* loader = m.api.SearchKey("mqoLoadModule", 13, 256);
    if (!loader) return {-3, at, at + 4};
    if (item.name.empty()) return {-5, at, at + 4};
    int code = reinterpret_cast<MqoLoadModuleFn>(loader)(item.name.c_str());
    if (code == 0) return {};
    return {code, item.nameSpan.begin, std::max(item.nameSpan.begin, item.nameSpan.end - 1)};
}

ItemError Compilation::compile(const Item& item) {
    switch (item.kind) {
    case ItemKind::kUse: return useModule(item);
    case ItemKind::kDefinition: return compileDefinition(item);
    case ItemKind::kDeclaration: return runDeclaration(item);
    case ItemKind::kExpression: break;
    }
    QoHandle handle = 0;
    ItemError err = compileFunction(item, -module->number, 1, &handle);
    if (err.code) return err;
    module->entries.push_back(entryOf(ItemKind::kExpression, handle, item));
    return {};
}

void deleteEntries(Module* module, size_t from) {
    Manager& m = manager();
    auto& entries = module->entries;
    for (size_t i = entries.size(); i > from; --i) m.api.DeleteFor(entries[i - 1].handle, &moduleOwner);
    entries.resize(std::min(from, entries.size()));
}

// What the previous text of a session left to run is not run again.
void spendExpressions(Module* module) {
    for (Entry& e : module->entries)
        if (e.kind != ItemKind::kDefinition) e.spent = true;
}

Module* newModule() {
    Manager& m = manager();
    for (int tries = 0; tries < 1000000; ++tries) {
        int number = m.nextModule;
        m.nextModule = m.nextModule >= 0x3fffffff ? 1 : m.nextModule + 1;
        int refs = 0;
        m.api.ExMsgWithQo(3, &number, &refs, nullptr);
        if (refs != 0 || !m.api.LockModule(number, &moduleOwner, 1)) continue;
        Module* module = new (std::nothrow) Module;
        if (!module) {
            m.api.LockModule(number, &moduleOwner, 0);
            return nullptr;
        }
        module->number = number;
        int maxParam = 0, begin = 0, end = 0;
        QoValue* values = nullptr;
        if (m.api.QoCom(u"nil", -number, 0, &moduleOwner, &module->anchor, &maxParam, &values, &begin, &end) != 0) {
            m.api.LockModule(number, &moduleOwner, 0);
            delete module;
            return nullptr;
        }
        m.modules.push_back(module);
        return module;
    }
    return nullptr;
}

int compileText(Module* module, bool session, const char16_t* source, int* errBegin, int* errEnd) {
    std::u16string text(source);
    int stray = blankComments(text);
    if (stray >= 0) {
        *errBegin = stray;
        *errEnd = stray + 1;
        return -4;
    }
    if (session) spendExpressions(module);
    module->texts.push_back(text);
    Compilation c{module, session, text, module->entries.size()};
    for (Span span : splitItems(text)) {
        ItemError err = c.compile(classify(text, span));
        if (err.code) {
            deleteEntries(module, c.firstNew);
            *errBegin = err.begin;
            *errEnd = err.end;
            return err.code;
        }
    }
    return 0;
}

}  // namespace

void runItem(QoHandle item, QoValue* result) { manager().api.ExMsgWithQo(9, &item, nullptr, result); }

void clearRunError() {
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    manager().api.GetRunErr(&type, &name, &code, &where);
}

Module* findModule(void* handle) {
    Manager& m = manager();
    auto it = std::find(m.modules.begin(), m.modules.end(), static_cast<Module*>(handle));
    return handle && it != m.modules.end() ? *it : nullptr;
}

void destroyModule(Module* module) {
    Manager& m = manager();
    deleteEntries(module, 0);
    m.api.DeleteFor(module->anchor, &moduleOwner);
    m.api.LockModule(module->number, &moduleOwner, 0);
    m.modules.erase(std::find(m.modules.begin(), m.modules.end(), module));
    delete module;
}

void destroyAllModules() {
    Manager& m = manager();
    while (!m.modules.empty()) destroyModule(m.modules.back());
}

}  // namespace qo::mqo

using namespace qo::mqo;

extern "C" MQO_API int ComModule(const char16_t* source, intptr_t* cookie, void** module, int* errBegin,
                                 int* errEnd) {
    int ignoredBegin = 0, ignoredEnd = 0;
    if (!errBegin) errBegin = &ignoredBegin;
    if (!errEnd) errEnd = &ignoredEnd;
    *errBegin = *errEnd = 0;
    Manager& m = manager();
    if (!m.ready || !source || !cookie || !module) return -1;
    clearRunError();
    Module* target = findModule(*module);
    bool session = target && *cookie == target->number && !target->running;
    if (!session) {
        *module = nullptr;
        target = newModule();
        if (!target) return 1;
    }
    int code = compileText(target, session, source, errBegin, errEnd);
    if (code != 0 && !session) {
        destroyModule(target);
        *module = nullptr;
        return code;
    }
    *module = target;
    *cookie = target->number;
    return code;
}

extern "C" MQO_API void ExeModule(void* handle, MqoPrinter printer) {
    Manager& m = manager();
    Module* module = m.ready ? findModule(handle) : nullptr;
    if (!module) return;
    clearRunError();
    std::vector<Entry> run;
    for (const Entry& e : module->entries)
        if (e.kind != ItemKind::kDefinition && !e.spent) run.push_back(e);
    ++module->running;
    for (Entry& e : run) {
        if (e.kind == ItemKind::kDeclaration) {
            if (printer) printer(&e.result);
            continue;
        }
        QoValue result{};
        runItem(e.handle, &result);
        if (reportRunError() > 0) break;
        if (printer) printer(&result);
    }
    --module->running;
}

extern "C" MQO_API int MqoRunErrorPlace(void** module, const char16_t** text, int* begin, int* end) {
    Manager& m = manager();
    if (!m.ready) return 0;
    QoHandle function = 0;
    int32_t span[2] = {0, 0};
    if (m.api.ExMsgWithQo(11, &function, span, nullptr) != 1) return 0;
    for (Module* mod : m.modules)
        for (const Entry& e : mod->entries) {
            if (e.handle != function || e.text < 0 || e.text >= static_cast<int>(mod->texts.size())) continue;
            const std::u16string& t = mod->texts[e.text];
            int b = e.textBegin + span[0], f = e.textBegin + span[1];
            if (b < 0 || f < b || f >= static_cast<int>(t.size())) return 0;
            if (module) *module = mod;
            if (text) *text = t.c_str();
            if (begin) *begin = b;
            if (end) *end = f;
            return 1;
        }
    return 0;
}

extern "C" MQO_API void DelModule(void* handle) {
    Manager& m = manager();
    Module* module = m.ready ? findModule(handle) : nullptr;
    if (module && !module->running) destroyModule(module);
}
