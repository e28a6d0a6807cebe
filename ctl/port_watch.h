// zr9ctl ports --watch: which port each adapter becomes while a bench is set
// up. Presence is what the system lists about a port's device; no port is
// opened.
#pragma once

#include <functional>

// Prints the ports present now, then a line each time one appears or
// disappears, until `stopRequested` returns true; looks a few times a second.
// False when standard output could not be written.
bool WatchPorts(const std::function<bool()>& stopRequested);
