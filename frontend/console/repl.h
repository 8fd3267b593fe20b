// repl.h - the interactive loop: line editing and history (libedit), entries
// that end at the end of a line closing every bracket, string and comment, and
// one module for the whole session. Ctrl-C at the prompt abandons the line (and
// an unfinished entry), Ctrl-D on an empty line ends the session, and the
// history (~/.qo_history) is written after every entry.
#pragma once

namespace qo::console {

class Host;
int runInteractive(Host& host);

}  // namespace qo::console
