#include "zr9ctl.h"

int ExitStatusOf(const StepResult& result)
{
    if (result.Ok())
        return kExitSuccess;
    switch (result.m_outcome) {
    case SessionOutcome::PortNotOpened: return kExitPortFailed;
    case SessionOutcome::Stopped: return kExitStopped;
    default: return kExitModuleFailed;
    }
}
