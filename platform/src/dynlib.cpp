#include "qo/dynlib.h"

#include <dlfcn.h>

namespace qo::dynlib {

void* open(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void close(void* lib) { if (lib) dlclose(lib); }
void* symbol(void* lib, const char* name) { return lib ? dlsym(lib, name) : nullptr; }
std::string lastError() {
    const char* e = dlerror();
    return e ? e : "";
}

}  // namespace qo::dynlib
