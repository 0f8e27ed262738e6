// Connection lifecycle: start, flush, close, reopen and reconfigure the COM
// port of one connection, and end the module.
//
// The port handle in the DriverInstance is the connection's only record of an
// open port (0: none). Every port this driver opens gets the line-control
// flags 0x0303: DTR on, RTS on, output flow as the port had it.
#include <cstring>

#include "driver/log.h"
#include "driver/operations.h"
#include "port/port.h"

namespace {

constexpr uint16_t kLineFlags = PORT_DTR_ON | PORT_RTS_ON;  // 0x0303

DriverInstance* InstanceOf(NuvCall* call) { return call->instance; }

// A port name field holds at most 11 characters and its terminator. A field
// with no terminator is never read past its 12 bytes.
bool PortNameTerminated(const char* name) {
    return std::memchr(name, '\0', kPortNameSize) != nullptr;
}

}  // namespace

uint32_t OpenCom(const ComSettings* settings) {
    PortHandle handle = kInvalidPortHandle;
    if (!PortNameTerminated(settings->portName) ||
        PortOpen(settings->portName, &settings->line, settings->lineFlags, &handle) != PORT_OK) {
        err(LOG_PORT_OPEN, "VAVE8> OpenCom() open COM port failed");
        return 0;
    }
    err(LOG_PROGRESS, "VAVE8> OpenCom() exited OK, file handle %u", handle);
    return handle;
}

int32_t ColdStart(NuvCall* call) {
    DriverInstance* inst = InstanceOf(call);
    const auto* start = static_cast<const StartParams*>(call->args);

    err(LOG_PROGRESS, "VAVE8> version compiled on %s at time %s", __DATE__, __TIME__);
    inst->timeoutTicks = start->timeoutTicks;
    // The stored handle may be uninitialised storage on the first call, so it
    // is forgotten, never closed.
    inst->portHandle = 0;
    if (start->openFlag == 0) return NUV_OK;

    std::memcpy(inst->com.portName, start->portName, kPortNameSize);
    inst->com.line = start->line;
    inst->com.lineFlags = kLineFlags;

    const uint32_t handle = OpenCom(&inst->com);
    if (handle == 0) {
        err(LOG_PORT_OPEN, "VAVE8> ColdStart() error opening COM port");
        return NUV_FAILED;
    }
    err(LOG_PROGRESS, "VAVE8> installation OK!");
    inst->portHandle = handle;
    PortSetReadTimeout(handle, start->timeoutTicks);
    return NUV_OK;
}

int32_t WarmStart(NuvCall* call) {
    DriverInstance* inst = InstanceOf(call);
    if (inst->portHandle != 0) PortFlushInput(inst->portHandle);
    err(LOG_PROGRESS, "VAVE8> WarmStart()");
    return NUV_OK;
}

int32_t CloseCom(NuvCall* call) {
    DriverInstance* inst = InstanceOf(call);
    if (inst->portHandle != 0) {
        if (PortClose(inst->portHandle) != PORT_OK) {
            // The handle stays, so a later CloseCom can try again.
            err(LOG_PROGRESS, "VAVE8> CloseCom() exited 2");
            return NUV_FAILED;
        }
        inst->portHandle = 0;
    }
    err(LOG_PROGRESS, "VAVE8> CloseCom() exited 0");
    return NUV_OK;
}

int32_t ReOpenCom(NuvCall* call) {
    DriverInstance* inst = InstanceOf(call);
    const uint32_t handle = OpenCom(&inst->com);
    if (handle == 0) {
        err(LOG_PORT_OPEN, "VAVE8> ReOpenCom() exited 2");
        return NUV_FAILED;
    }
    inst->portHandle = handle;
    PortSetReadTimeout(handle, inst->timeoutTicks);
    err(LOG_PROGRESS, "VAVE8> ReOpenCom() exited 0");
    return NUV_OK;
}

int32_t ChangeNuvParams(NuvCall* call) {
    DriverInstance* inst = InstanceOf(call);
    const auto* params = static_cast<const NuvParams*>(call->args);

    if (params->timeoutTicks != 0 && params->timeoutTicks != -1) {
        inst->timeoutTicks = params->timeoutTicks;
    }
    // An open port is closed first even when the name stays the same: the
    // device is exclusive, so opening it again while it is held would fail
    // and leave the old line settings in force.
    if (inst->portHandle != 0) CloseCom(call);

    std::memcpy(inst->com.portName, params->portName, kPortNameSize);
    if (params->line.baud != 0) inst->com.line = params->line;

    const uint32_t handle = OpenCom(&inst->com);
    if (handle == 0) {
        err(LOG_PROGRESS, "VAVE8> ChangeNuvParams() open new COM port failed");
        return NUV_FAILED;
    }
    inst->portHandle = handle;
    PortSetReadTimeout(handle, inst->timeoutTicks);
    return NUV_OK;
}

int32_t EndNuv(NuvCall* call) {
    SetEnded();
    const int32_t result = CloseCom(call);
    err(LOG_PROGRESS, "VAVE8> EndNuv() exited, %d", result);
    return result;
}
