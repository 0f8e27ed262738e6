// Placeholder until the backend lands.
#include "port/port.h"
int32_t PortOpen(const char*, const LineParams*, uint16_t, PortHandle* h) { *h = kInvalidPortHandle; return PORT_OPEN_FAILED; }
int32_t PortClose(PortHandle) { return PORT_IO_FAILED; }
int32_t PortSetReadTimeout(PortHandle, int32_t) { return 0; }
int32_t PortFlushInput(PortHandle) { return 1; }
int32_t PortSendBreak(int32_t, PortHandle) { return 0; }
int32_t PortWrite(PortHandle, const uint8_t*, uint32_t, uint32_t*) { return PORT_IO_FAILED; }
int32_t PortRead(PortHandle, uint8_t*, uint32_t, uint32_t* r) { if (r) *r = 0; return PORT_IO_FAILED; }
int32_t PortPause(int32_t) { return 0; }
