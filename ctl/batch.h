// zr9ctl batch: the production run on the command line. Its options become
// the run's, its events messages on standard error and one status line per
// port, its rows the log (standard output without --log), its summary the
// exit status.
#pragma once

#include "console.h"
#include "production_run.h"

// Checks the run, and unless `dryRun` runs it until a stop signal, the
// target met, the log failing or no port able to go on. Returns
// kExitSuccess when every module the run met was configured,
// kExitModuleFailed when one was not (or the log could not be written, or
// no port could go on), kExitUsage for an option, a profile or a log that
// does not fit, kExitPortFailed for a port that is missing or held at the
// start. Nothing is sent to a module in the last two cases.
int RunBatch(CConsole& console, RunOptions options, bool dryRun);
