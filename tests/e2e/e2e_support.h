// Driving the real window against zr9-module-sim: shared by the end-to-end
// tests and the benchmarks.
#pragma once

#include "e2e_module.h"
#include "qt_test_support.h"

class TForm1;

// Opens the port list as a user does (which runs discovery), closes it again
// and picks the entry `portName`; false when the list has no such entry.
bool PickPort(TForm1& form, const char* portName);
