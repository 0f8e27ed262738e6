// The kernel's own termios requests, which need the kernel's headers: those
// clash with the C library's <termios.h> that the tests include.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include "inject.h"

const unsigned long kInjectTcgets2 = TCGETS2;
const unsigned long kInjectTcsets2 = TCSETS2;
