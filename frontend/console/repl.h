// repl.h - the interactive loop: line editing and history (libedit), entries
// that end at the end of a line closing every bracket, string and comment, and
// one module for the whole session.
#pragma once

namespace qo::console {

class Host;
int runInteractive(Host& host);

}  // namespace qo::console
