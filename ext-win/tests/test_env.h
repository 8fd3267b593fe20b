// test_env.h - the environment of the GUI tests: the offscreen platform (unless
// the caller chose one) and a private runtime folder, set before Qt starts.
#pragma once

namespace qo::testing {
void prepareQtEnvironment();
}
