#include "engine_api.h"

#include <dlfcn.h>

namespace qo::frontend {

bool bindEngine(void* library, EngineApi& api) {
    api = EngineApi{};
    if (!library) return false;
    bool complete = true;
#define QO_BIND_SLOT(name)                                                   \
    api.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name));   \
    complete = complete && api.name != nullptr;
    QO_ENGINE_EXPORTS(QO_BIND_SLOT)
#undef QO_BIND_SLOT
    if (!complete) api = EngineApi{};
    return complete;
}

}  // namespace qo::frontend
