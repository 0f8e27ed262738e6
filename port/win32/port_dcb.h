// The line settings PortOpen writes into a port's DCB, apart from the calls
// that read and apply it, so the rules can be checked without a port.
#pragma once

#include <windows.h>

#include "driver/records.h"

// Fills `dcb` (as GetCommState reported it) with the line parameters, the
// error character, the binary-safe settings and the line-control flags word.
void FillPortDcb(DCB* dcb, const LineParams* line, uint16_t flags);
