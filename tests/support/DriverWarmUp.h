#pragma once

// Mesa's llvmpipe leaks 112 bytes once per process in its first draw call (two blocks,
// "definitely lost" under valgrind, inside the driver's glDrawArrays). Its code has no
// frame pointers, so AddressSanitizer's stacks stop at a stale address and no
// suppression can name the driver. Under AddressSanitizer this draws once at start-up
// with leak detection paused, so the driver's one-off leak is not charged to the first
// test that draws. Does nothing in other builds or without an OpenGL device.
void warmUpOpenGLDriverForLeakChecks();
