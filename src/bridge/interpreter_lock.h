// InterpreterLock: holds the interpreter lock for the duration of one call into the host, on any
// thread: the CTP libraries' callback threads, the worker threads and host threads calling exports
// (which call with the lock released). Scoped: constructed on the raising thread's stack, released
// by its destructor on the same thread; nesting is allowed.
//
// Each native thread keeps one interpreter thread state for as long as it lives. On a thread's
// first use, a thread that has no state of its own gets one (PyGILState_Ensure, kept outstanding)
// and releases the lock at once; every later lock takes the lock with that kept state directly
// (PyEval_RestoreThread / PyEval_SaveThread), so taking the lock never builds or tears down a
// thread state nor goes through PyGILState's bookkeeping. A lock taken inside another on the same
// thread, and the host's own threads, nest a PyGILState_Ensure/Release pair instead. When the
// thread ends, its kept state is released, but only while the interpreter is initialised and not
// finalising (after that the state is left to the interpreter's own teardown). A thread that
// already had a state (the host's own threads) is left to its owner.
//
// REQUIRES: the host has initialised the interpreter (the runtime never initialises it).
#ifndef QV_BRIDGE_INTERPRETER_LOCK_H
#define QV_BRIDGE_INTERPRETER_LOCK_H

struct _ts;  // PyThreadState, without including Python.h here
typedef struct _ts PyThreadState;

namespace qv::bridge {

class InterpreterLock {
 public:
  InterpreterLock();
  ~InterpreterLock();
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;

  bool held() const { return held_; }

 private:
  bool held_;
  PyThreadState* kept_ = nullptr;  // the kept state the lock was taken with, or nullptr
  int state_ = 0;                  // otherwise the PyGILState_STATE of PyGILState_Ensure
  int* depth_ = nullptr;           // the count of this thread's live locks
};

// True while the interpreter is initialised and not finalising. Raises check it first: a library
// thread that raised while the host is shutting down would otherwise wait for a lock that never
// comes back, or be ended inside the interpreter.
bool interpreterRunning();

// Makes sure the calling thread keeps an interpreter thread state (see above); cheap after the
// first call on a thread. REQUIRES: the calling thread does not hold the interpreter lock.
void keepThreadState();

// True when the calling thread keeps a state that this bridge made for it (tests use this).
bool keepsOwnThreadState();

}  // namespace qv::bridge

#endif  // QV_BRIDGE_INTERPRETER_LOCK_H
