// Gate addressing: the address text of a gate and its checks.
//
// An address text reads, by position: '0' and a hex digit (station 00..0F),
// the memory type ('2', '4', '8', '9'), four hex digits (the nibble address)
// and a bit digit 0..7 or a space. Characters from position 8 on are never
// examined; a text of exactly 7 characters has a space at position 7.
#pragma once

#include "driver/records.h"

// Checks the text position by position and fills the five out fields of the
// GateParse as far as it gets. 0 accepted, 1 refused (one log line).
int32_t Parse(GateParse* gate);
