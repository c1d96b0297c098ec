#pragma once
// INT, TERM and HUP do not end the process where they land. The handler notes the signal; the run
// stops before its next register exchange (RunInterrupted), so that it can end the open memory
// command, release the port and say where it stood, and then ends with 128 + the signal's number.
// A second signal while it does so ends the process at once.

// Thrown before a register exchange once a signal was noted; it is no link failure and no
// "Exception:" line is printed for it.
struct RunInterrupted {
    int signal;
};

// Installs the handlers; once per process.
void CatchInterruptions();
// The signal noted, 0 when none (it stays noted for the run's end).
int NotedInterruption();
// Throws RunInterrupted the first time it is called after a signal was noted; afterwards (the
// run winding down, the link used to end the open command) it lets every exchange through.
void StopIfInterrupted();
// "SIGINT", "SIGTERM", "SIGHUP" (the number for any other).
const char* SignalName(int signal);
// Back to nothing noted; for tests that run several invocations in one process.
void ForgetInterruption();
