// HostExit: keeps the runtime's threads out of the interpreter once the host has begun to end.
//
// When a Python host ends (its script runs out, sys.exit, an uncaught exception), the interpreter
// ends every other thread that asks for its lock from then on, by unwinding it from inside the
// lock request. A library thread caught like that inside a host callable (one that let the lock go
// to sleep or write) would be unwound through the runtime and the CTP library, mid-event. So every
// call into the host is admitted first (enterHost), and a hook that the interpreter runs with its
// other exit functions, before it starts finalising, closes the door: it refuses new calls and
// waits, with the lock released, until the calls already inside have returned (at most
// kExitGrace). Events raised after that are dropped; the host is ending.
//
// The admission count and the closed flag are sequentially consistent atomics: a caller counts
// itself in before it reads the flag, the hook sets the flag before it reads the count, so either
// the caller sees the door closed or the hook sees the caller.
#ifndef QV_BRIDGE_HOST_EXIT_H
#define QV_BRIDGE_HOST_EXIT_H

#include <chrono>

namespace qv::bridge {

// How long the exit hook waits for callables still running (a callable blocked for ever must not
// keep the host from ending).
inline constexpr std::chrono::milliseconds kExitGrace{2000};

// Counts the calling thread in when an interpreter is running and its exit hook has not run;
// false otherwise (then nothing is counted). Any thread that does not hold the interpreter lock.
bool enterHost();

// Counts out a thread that enterHost admitted.
void leaveHost();

// Registers the exit hook with the running interpreter, once per interpreter; cheap afterwards.
// REQUIRES: the calling thread holds the interpreter lock.
void watchHostExit();

}  // namespace qv::bridge

#endif  // QV_BRIDGE_HOST_EXIT_H
