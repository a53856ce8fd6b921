#pragma once

namespace reposa::console {

// SIGINT and SIGTERM ask the program to end. The handler only sets a flag and
// writes a byte to a pipe (the self-pipe trick): the event loop watches the
// pipe, and a write blocked on a full standard output is interrupted, since
// the handler is installed without SA_RESTART.
//
// Returns the read end of the pipe, or -1 when the handlers cannot be set up.
int InstallStopSignals();

}  // namespace reposa::console
