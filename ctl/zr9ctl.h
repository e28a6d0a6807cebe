// What zr9ctl's commands share: the exit status, and the status a step on a
// module ends a command with.
#pragma once

#include "module_steps.h"
#include "port_choice.h"

// zr9ctl's exit status.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitModuleFailed = 1,  // refused, did not answer, did not keep what was written
    kExitUsage = 2,         // usage or file errors; nothing was written
    kExitPortFailed = 3,    // the port could not be opened
    kExitStopped = 4,       // a signal (Ctrl+C, SIGTERM, SIGHUP) ended the command
};

// The exit status of a command that ended with `result`.
int ExitStatusOf(const StepResult& result);
