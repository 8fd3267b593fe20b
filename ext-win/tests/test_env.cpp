#include "test_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

// Qt keeps the data of threads that it did not start but that used it (the
// extension's GUI thread, the tests' script threads): ext-win/lsan.supp.
extern "C" const char* __lsan_default_suppressions() { return "leak:libQt6Core.so.6\n"; }

namespace qo::testing {

void prepareQtEnvironment() {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (getenv("XDG_RUNTIME_DIR")) return;
    std::string dir = "/tmp/qo-gui-tests-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    chmod(dir.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
}

}  // namespace qo::testing
