// dynlib.h - loading shared libraries and finding their exports (dlopen/dlsym).
#pragma once
#include <string>

namespace qo::dynlib {

// Opens a library; null on failure (lastError() says why).
void* open(const std::string& path);
void close(void* lib);
void* symbol(void* lib, const char* name);
std::string lastError();

}  // namespace qo::dynlib
