// What the single download tells the operator of its port argument, beyond
// its fixed messages, on standard error.
#pragma once

#include "link/port_name.h"

// Says so when the port argument is not a plain decimal number, which port
// it was taken for, and how to give it.
void note_port_argument(const char* argument, const PortName& name);
