// The serial port module on Linux: a tty opened by name, raw and exclusive,
// with the same observable behaviour as the Windows build.
//
// The handle is the file descriptor. What a Windows port keeps in the device
// (the read time limit) and what this backend adds for speed (a read-ahead
// and a write-behind) live in a small fixed table keyed by descriptor; it is
// the module's only state. All waiting is done with poll() on a monotonic
// clock, so descriptors above 1023 work and a signal never cuts a wait short.
//
// The frame layer writes and reads one byte per call. Written bytes are held
// in the record and handed to the kernel in one write() when the port is
// next read, flushed, sent a break or closed, or when the buffer is full:
// one system call per request instead of one per byte, and one wake-up of
// the far side. A held-back write that fails is reported by the call that
// carried it out, and from then on every write fails at once: a tty whose
// write fails has hung up and does not come back.
#include "port/port.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "port/posix/kernel_serial.h"
#include "port/posix/line_settings.h"

namespace {

constexpr int kSlotCount = 64;  // ports open at once in one process
constexpr uint32_t kReadAheadSize = 512;
// The largest request frame (start pair, length, a 262-byte block, CRC) with
// every byte doubled: a whole request always fits.
constexpr uint32_t kLargestFrame = 267;
constexpr uint32_t kWriteBehindSize = 2 * kLargestFrame;
// A device that takes no byte of held-back output for this long has failed.
// A UART's kernel buffer takes a whole frame at once; only flow control or a
// dead device holds output back.
constexpr uint32_t kWriteStallMs = 1000;
constexpr uint32_t kTickMs = 10;
constexpr uint32_t kOpenReadLimitMs = 1000;  // until the caller sets its own
constexpr uint32_t kFlushReadLimitMs = 50;
constexpr uint32_t kFlushChunk = 512;
// A line that never falls silent (another talker, a babbling device) must not
// hold the caller for ever: after this long the request goes out anyway, and
// its reply will show whether the line let it through.
constexpr int64_t kFlushGiveUpMs = 1000;
constexpr int64_t kNsPerMs = 1000000;
constexpr size_t kPathSize = 256;

// The host's name field is 11 characters, too short for most Linux device
// paths, so a bare name is taken relative to /dev.
constexpr char kDeviceDirectory[] = "/dev/";
constexpr char kNullName[] = "NUL";
constexpr char kNullPath[] = "/dev/null";

// Unix98 pseudo-terminal slaves (/dev/pts/N) have majors 136..143, the old
// BSD ones (/dev/ttyp0) major 3.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;
constexpr unsigned kBsdPtySlaveMajor = 3;

struct PortSlot {
    PortHandle handle;  // 0: the slot is free
    int fd;
    bool nullDevice;
    bool writeFailed;      // a write failed: every later one fails at once
    uint32_t readLimitMs;  // per read pass; 0: no limit
    // Bytes read from the device and not yet handed out: ahead[start ..
    // start + count). The frame layer reads one byte per call; this turns a
    // frame into one or two system calls instead of one per byte.
    uint32_t aheadStart;
    uint32_t aheadCount;
    // Bytes written and not yet handed to the kernel: pending[0 .. count).
    uint32_t pendingCount;
    uint8_t ahead[kReadAheadSize];
    uint8_t pending[kWriteBehindSize];
};

// The module's one piece of state: a record per open port, and two
// shortcuts into it for the frame layer, which calls once per byte on one
// port.
struct PortTable {
    PortSlot slots[kSlotCount];  // handle 0: free
    // The slot found last, or null; never a free slot: nearly every lookup
    // is answered here with one comparison.
    PortSlot* last;
    // The slot PortRead may serve from its read-ahead without looking
    // further: the one read last, while nothing written waits in it.
    // Otherwise `none`, a slot that is never used and holds nothing, so the
    // fast path needs no test for null and falls through to the full read.
    PortSlot* reading;
    PortSlot none;
};

constinit PortTable g_table{{}, nullptr, &g_table.none, {}};

[[gnu::noinline]] PortSlot* SearchSlot(PortHandle handle) {
    if (handle == 0) return nullptr;
    for (PortSlot& slot : g_table.slots) {
        if (slot.handle == handle) {
            g_table.last = &slot;
            return &slot;
        }
    }
    return nullptr;
}

inline PortSlot* FindSlot(PortHandle handle) {
    PortSlot* const last = g_table.last;
    if (last != nullptr && last->handle == handle) return last;
    return SearchSlot(handle);
}

// A free slot for a descriptor just opened. A used slot with the same
// descriptor is stale (someone closed our descriptor behind our back and the
// number came back) and is taken over.
PortSlot* SlotForNewDescriptor(int fd) {
    PortSlot* free = nullptr;
    for (PortSlot& slot : g_table.slots) {
        if (slot.handle != 0 && slot.fd == fd) return &slot;
        if (slot.handle == 0 && free == nullptr) free = &slot;
    }
    return free;
}

void FillSlot(PortSlot* slot, int fd, bool nullDevice, uint32_t readLimitMs) {
    slot->handle = static_cast<PortHandle>(fd);
    slot->fd = fd;
    slot->nullDevice = nullDevice;
    slot->writeFailed = false;
    slot->readLimitMs = readLimitMs;
    slot->aheadStart = 0;
    slot->aheadCount = 0;
    slot->pendingCount = 0;
}

int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 * kNsPerMs + now.tv_nsec;
}

// Milliseconds for poll() until `deadline`, rounded up so that poll never
// wakes before it; 0 once the deadline has passed.
int PollTimeoutUntil(int64_t deadline) {
    const int64_t remaining = deadline - NowNs();
    if (remaining <= 0) return 0;
    const int64_t ms = (remaining + kNsPerMs - 1) / kNsPerMs;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void SleepMs(int32_t milliseconds) {
    if (milliseconds <= 0) return;
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * kNsPerMs;
    if (until.tv_nsec >= 1000 * kNsPerMs) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000 * kNsPerMs;
    }
    // An absolute wake-up time: a signal restarts the sleep without
    // stretching it.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// The path to open for a port name, or false when it cannot be one.
bool DevicePath(const char* name, char (&path)[kPathSize]) {
    if (std::strcmp(name, kNullName) == 0) {
        std::memcpy(path, kNullPath, sizeof kNullPath);
        return true;
    }
    const size_t length = strnlen(name, kPathSize);
    if (length == 0) return false;
    const size_t prefix = name[0] == '/' ? 0 : sizeof kDeviceDirectory - 1;
    if (prefix + length >= kPathSize) return false;
    std::memcpy(path, kDeviceDirectory, prefix);
    std::memcpy(path + prefix, name, length + 1);
    return true;
}

bool IsPseudoTerminal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned deviceMajor = major(st.st_rdev);
    return (deviceMajor >= kPtySlaveMajorFirst && deviceMajor <= kPtySlaveMajorLast) ||
           deviceMajor == kBsdPtySlaveMajor;
}

// Undoes the exclusive hold and closes. The result of close() alone counts.
int ReleaseDescriptor(int fd, bool nullDevice) {
    if (!nullDevice) {
        ioctl(fd, TIOCNXCL);
        flock(fd, LOCK_UN);
    }
    return close(fd);
}

// DTR and RTS are outputs the driver sets once; a device without modem
// lines (a pseudo-terminal, most USB CDC adapters) refuses the calls, which
// is no reason to refuse the port.
void ApplyLineControl(int fd, const LineControl& control) {
    // DTR handshake (DTR dropped while our input queue is full) has no Linux
    // equivalent; DTR is raised so the far end sees us ready, and our input
    // queue, far larger than any frame, never needs to hold it off.
    if (control.dtr == DtrMode::kOn || control.dtr == DtrMode::kHandshake) {
        int bits = TIOCM_DTR;
        ioctl(fd, TIOCMBIS, &bits);
    }
    if (control.rts == RtsMode::kOn) {
        int bits = TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &bits);
    }
    // RTS handshake is CRTSCTS in the termios; the kernel drives RTS.
    //
    // RTS toggle needs the UART to switch RTS as its last stop bit leaves,
    // which only the device's RS-485 mode does with the right timing; raising
    // and dropping RTS by hand around write() cannot. A device without that
    // mode keeps RTS as it was.
    if (control.rts == RtsMode::kToggle) KernelEnableRtsToggle(fd);
    // DSR output flow and DSR sensitivity have no Linux equivalent and are
    // left out; CTS output flow is CRTSCTS (see MapLineSettings).
}

// Applies line parameters and flags to an open tty whose settings are
// `current`. PORT_OK or PORT_SET_FAILED.
int32_t ConfigurePort(int fd, const termios& current, const LineParams* line, uint16_t flags) {
    LineSetup setup{};
    if (line == nullptr || !MapLineSettings(current, *line, flags, &setup)) return PORT_SET_FAILED;

    // tcsetattr succeeds when any part of the request was taken, and Linux
    // answers EINVAL when the request differs from the current settings
    // only in what the device cannot keep (the parity bit of a
    // pseudo-terminal, asked for again on its second open). Either way the
    // settings read back decide.
    if (tcsetattr(fd, TCSANOW, &setup.tio) != 0 && errno != EINVAL) return PORT_SET_FAILED;
    termios actual{};
    if (tcgetattr(fd, &actual) != 0 || !LineSettingsHeld(setup.tio, actual, IsPseudoTerminal(fd))) {
        return PORT_SET_FAILED;
    }
    if (setup.customBaud != 0 && KernelSetBaud(fd, setup.customBaud) != 0) return PORT_SET_FAILED;

    ApplyLineControl(fd, setup.control);
    return PORT_OK;
}

// Hands out up to `want` bytes from the read-ahead.
uint32_t TakeReadAhead(PortSlot* slot, uint8_t* buffer, uint32_t want) {
    const uint32_t take = want < slot->aheadCount ? want : slot->aheadCount;
    std::memcpy(buffer, slot->ahead + slot->aheadStart, take);
    slot->aheadStart += take;
    slot->aheadCount -= take;
    if (slot->aheadCount == 0) slot->aheadStart = 0;
    return take;
}

// One read pass, the equivalent of one ReadFile under a total read time
// limit: returns once `want` bytes have arrived or `limitMs` has passed
// (0: no limit), with *got telling how many arrived. False when the device
// failed: end of file or EIO (an unplugged adapter, a pseudo-terminal whose
// master closed), or an error from poll or read. Bytes that arrived in the
// pass before such a failure are handed out as a success: the failure does
// not go away and is reported by the next pass, and no byte is lost.
//
// `waitFirst`: nothing can be waiting yet (a request just went out), so the
// pass starts in poll() instead of a read() that would find nothing. After a
// read() that did not fill the read-ahead the device is empty, and the pass
// waits before reading again: a reply costs one poll and one read.
bool ReadPass(PortSlot* slot, uint8_t* buffer, uint32_t want, uint32_t limitMs, bool waitFirst,
              uint32_t* got) {
    // The deadline is fixed once per pass; a pass never starts with less
    // than the full limit.
    const int64_t deadline = NowNs() + static_cast<int64_t>(limitMs) * kNsPerMs;
    uint32_t have = 0;
    bool hungUp = false;
    bool ok = true;
    bool empty = waitFirst;

    for (;;) {
        have += TakeReadAhead(slot, buffer + have, want - have);
        if (have == want) break;

        if (!empty) {
            const ssize_t n = read(slot->fd, slot->ahead, kReadAheadSize);
            if (n > 0) {
                slot->aheadStart = 0;
                slot->aheadCount = static_cast<uint32_t>(n);
                empty = n < static_cast<ssize_t>(kReadAheadSize);
                continue;
            }
            if (n == 0) {
                // The null device reads as a success with nothing, as on
                // Windows; a tty reads 0 only once it has hung up.
                ok = slot->nullDevice;
                break;
            }
            // Would block although poll reported a hang-up: the line is
            // gone, and looping on it would spin. An interrupted read waits
            // like one that would block, so that the deadline still holds.
            if (errno != EINTR && (errno != EAGAIN || hungUp)) {
                ok = false;
                break;
            }
        }
        empty = false;

        int timeout = -1;
        if (limitMs != 0) {
            timeout = PollTimeoutUntil(deadline);
            if (timeout == 0) break;
        }
        pollfd waiter{slot->fd, POLLIN, 0};
        const int ready = poll(&waiter, 1, timeout);
        if (ready < 0 && errno != EINTR) {
            ok = false;
            break;
        }
        if (ready > 0) {
            if (waiter.revents & POLLNVAL) {
                ok = false;
                break;
            }
            if (waiter.revents & (POLLERR | POLLHUP)) hungUp = true;
        }
        // Woken by data, a hang-up, a signal or the clock: the read above,
        // and the deadline check before the next wait, sort it out.
    }

    *got = have;
    return ok || have > 0;
}

// Hands the held-back output to the kernel, however many write() calls the
// device needs. False when the device failed, or took nothing for
// kWriteStallMs; the descriptor then counts as failed. Either way nothing is
// held back afterwards.
bool PushOutput(PortSlot* slot) {
    const uint32_t count = slot->pendingCount;
    slot->pendingCount = 0;
    uint32_t done = 0;
    int64_t deadline = 0;  // of the current stall; 0: none yet
    while (done < count) {
        const ssize_t n = write(slot->fd, slot->pending + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            deadline = 0;
            continue;
        }
        // Took nothing: full (EAGAIN), interrupted, or a write of 0.
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        if (deadline == 0) deadline = NowNs() + static_cast<int64_t>(kWriteStallMs) * kNsPerMs;
        const int timeout = PollTimeoutUntil(deadline);
        if (timeout == 0) break;
        pollfd waiter{slot->fd, POLLOUT, 0};
        const int ready = poll(&waiter, 1, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && (waiter.revents & (POLLERR | POLLHUP | POLLNVAL))) break;
    }
    if (done == count) return true;
    slot->writeFailed = true;
    return false;
}

// PortRead past its fast path.
[[gnu::noinline]] int32_t ReadSlow(PortHandle handle, uint8_t* buffer, uint32_t count,
                                   uint32_t* received) {
    if (received != nullptr) *received = 0;
    PortSlot* const slot = FindSlot(handle);
    // A request for no bytes brings no byte, which is a failed read.
    if (slot == nullptr || buffer == nullptr || count == 0) return PORT_IO_FAILED;
    // The request goes out before its reply is waited for.
    const bool pushed = slot->pendingCount != 0;
    if (pushed && !PushOutput(slot)) return PORT_IO_FAILED;
    g_table.reading = slot;

    // Bytes the read-ahead already holds need no clock and no system call;
    // a pass that would find them waiting ends the same way.
    if (slot->aheadCount >= count) {
        TakeReadAhead(slot, buffer, count);
        if (received != nullptr) *received = count;
        return PORT_OK;
    }

    uint32_t total = 0;
    while (total < count) {
        // Each pass waits up to the full limit for the bytes still missing.
        uint32_t got = 0;
        const bool waitFirst = pushed && total == 0;
        if (!ReadPass(slot, buffer + total, count - total, slot->readLimitMs, waitFirst, &got) ||
            got == 0) {
            return PORT_IO_FAILED;
        }
        total += got;
        if (received != nullptr) *received = total;
    }
    return PORT_OK;
}

}  // namespace

int32_t PortOpen(const char* name, const LineParams* line, uint16_t flags, PortHandle* handle) {
    if (handle == nullptr) return PORT_OPEN_FAILED;
    *handle = kInvalidPortHandle;
    char path[kPathSize];
    if (name == nullptr || !DevicePath(name, path)) return PORT_OPEN_FAILED;
    const bool nullDevice = std::strcmp(name, kNullName) == 0;

    // O_NOCTTY: a host without a controlling terminal must not gain this
    // one. O_NONBLOCK: do not wait for a carrier while opening; reads and
    // writes stay non-blocking and wait in poll().
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return PORT_OPEN_FAILED;
    // Handle 0 means "no port" to the driver; a host that closed its
    // standard input would get descriptor 0 here.
    if (fd == 0) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0) return PORT_OPEN_FAILED;
        fd = moved;
    }

    PortSlot* slot = SlotForNewDescriptor(fd);
    if (slot == nullptr) {
        close(fd);
        return PORT_OPEN_FAILED;
    }
    if (nullDevice) {
        // Like the Windows null device: no settings, no exclusive hold.
        FillSlot(slot, fd, true, 0);
        *handle = static_cast<PortHandle>(fd);
        return PORT_OK;
    }

    // A Windows port opens exclusively. TIOCEXCL keeps other opens out but
    // root passes it, so every user of this module also takes an flock,
    // which holds against root too. Both end with the descriptor.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return PORT_OPEN_FAILED;
    }
    ioctl(fd, TIOCEXCL);

    termios current{};
    if (tcgetattr(fd, &current) != 0) {
        ReleaseDescriptor(fd, false);
        return PORT_GET_FAILED;
    }
    // A flags word of 0 leaves the port exactly as it is, read time limit
    // included (none on a descriptor this module has not limited).
    uint32_t readLimitMs = 0;
    if (flags != 0) {
        const int32_t result = ConfigurePort(fd, current, line, flags);
        if (result != PORT_OK) {
            ReleaseDescriptor(fd, false);
            return result;
        }
        readLimitMs = kOpenReadLimitMs;
    }

    FillSlot(slot, fd, false, readLimitMs);
    *handle = static_cast<PortHandle>(fd);
    return PORT_OK;
}

int32_t PortClose(PortHandle handle) {
    PortSlot* slot = FindSlot(handle);
    // Never close a descriptor this module did not open: it belongs to the host.
    if (slot == nullptr) return PORT_IO_FAILED;
    // Output held back goes out first. If it cannot, it is dropped: the port
    // goes either way, and a failed close would leave the host a handle
    // that no later close could release.
    if (slot->pendingCount != 0) PushOutput(slot);
    const int fd = slot->fd;
    const bool nullDevice = slot->nullDevice;
    // Linux releases the descriptor even when close() reports an error, so
    // the record goes in every case; a failed close only changes the answer.
    slot->handle = 0;
    slot->aheadCount = 0;
    if (g_table.last == slot) g_table.last = nullptr;
    if (g_table.reading == slot) g_table.reading = &g_table.none;
    return ReleaseDescriptor(fd, nullDevice) == 0 ? PORT_OK : PORT_IO_FAILED;
}

int32_t PortSetReadTimeout(PortHandle handle, int32_t ticks) {
    PortSlot* slot = FindSlot(handle);
    if (slot == nullptr) return 0;
    const uint32_t previous = slot->readLimitMs;
    // In 32 bits, as a Windows port computes it: a negative tick count is a
    // limit of some seven weeks.
    slot->readLimitMs = static_cast<uint32_t>(ticks) * kTickMs;
    return static_cast<int32_t>(previous) / static_cast<int32_t>(kTickMs);
}

int32_t PortFlushInput(PortHandle handle) {
    PortSlot* slot = FindSlot(handle);
    if (slot == nullptr) return 1;
    // Output written before the flush goes out before it, as it would have
    // without the write-behind; whatever answers it then arrives after the
    // flush is under way, or after it.
    if (slot->pendingCount != 0 && !PushOutput(slot)) return 1;

    // What is waiting: the read-ahead and what the device holds. Asked with
    // poll rather than a byte count: a count misses bytes the kernel has
    // received but not yet handed to this side (a reply that came in late,
    // just now), which would then answer the next request; a tty's poll
    // hands them over first. A poll that fails is taken as "something may
    // be waiting"; a hang-up with nothing to read leaves nothing to drop.
    pollfd waiter{slot->fd, POLLIN, 0};
    const int ready = poll(&waiter, 1, 0);
    const bool nothing = ready == 0 || (ready > 0 && (waiter.revents & POLLIN) == 0);
    if (nothing && slot->aheadCount == 0) return 0;

    // Drain in 512-byte reads with a 50 ms limit each until one brings
    // nothing: the request then goes out on a line that has been silent for
    // a whole pass, never into the middle of a frame still arriving (the rest
    // of a late reply, split, would otherwise be read as the start of this
    // request's answer). The port's own read limit is never changed, so it
    // is what it was afterwards, "no limit" included.
    uint8_t scratch[kFlushChunk];
    uint32_t got = 0;
    bool ok = true;
    const int64_t giveUp = NowNs() + kFlushGiveUpMs * kNsPerMs;
    do {
        ok = ReadPass(slot, scratch, kFlushChunk, kFlushReadLimitMs, false, &got);
    } while (ok && got != 0 && NowNs() < giveUp);
    return ok ? 0 : 1;
}

int32_t PortSendBreak(int32_t milliseconds, PortHandle handle) {
    PortSlot* slot = FindSlot(handle);
    // Bytes written before the break go out before it.
    const bool pushed = slot == nullptr || slot->pendingCount == 0 || PushOutput(slot);
    const bool line = slot != nullptr && !slot->nullDevice;
    // A held break of the asked length (tcsendbreak has a fixed one). A
    // pseudo-terminal has no break; its calls fail and only the wait stays.
    if (line) ioctl(slot->fd, TIOCSBRK);
    SleepMs(milliseconds);
    if (line) ioctl(slot->fd, TIOCCBRK);
    return pushed ? PORT_OK : PORT_IO_FAILED;
}

int32_t PortWrite(PortHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
    if (written != nullptr) *written = 0;
    PortSlot* slot = FindSlot(handle);
    if (slot == nullptr || (bytes == nullptr && count != 0) || slot->writeFailed) {
        return PORT_IO_FAILED;
    }
    // Whatever does not fit pushes out what the buffer holds, a buffer's
    // worth at a time.
    uint32_t taken = 0;
    while (count - taken > kWriteBehindSize - slot->pendingCount) {
        const uint32_t room = kWriteBehindSize - slot->pendingCount;
        std::memcpy(slot->pending + slot->pendingCount, bytes + taken, room);
        slot->pendingCount = kWriteBehindSize;
        taken += room;
        if (!PushOutput(slot)) return PORT_IO_FAILED;
    }
    if (g_table.reading == slot) g_table.reading = &g_table.none;
    if (count - taken == 1) {
        slot->pending[slot->pendingCount++] = bytes[taken];
    } else if (count != taken) {
        std::memcpy(slot->pending + slot->pendingCount, bytes + taken, count - taken);
        slot->pendingCount += count - taken;
    }
    if (written != nullptr) *written = count;
    return PORT_OK;
}

int32_t PortRead(PortHandle handle, uint8_t* buffer, uint32_t count, uint32_t* received) {
    // The usual case: the frame layer asks for one byte that the read-ahead
    // already holds, with no output held back.
    PortSlot* const slot = g_table.reading;
    if (slot->handle == handle && count == 1 && slot->aheadCount != 0 && buffer != nullptr) {
        *buffer = slot->ahead[slot->aheadStart++];
        --slot->aheadCount;
        if (received != nullptr) *received = 1;
        return PORT_OK;
    }
    return ReadSlow(handle, buffer, count, received);
}

int32_t PortPause(int32_t milliseconds) {
    SleepMs(milliseconds);
    return PORT_OK;
}
