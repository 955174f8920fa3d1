// Set by the SIGTERM handler. The blocking I/O routines look at it when a wait is interrupted, so
// they resume after an unrelated signal (a child exiting) and give up only when the process is
// asked to stop.
#pragma once

#include <csignal>

extern "C" volatile sig_atomic_t fb_stop_flag;
