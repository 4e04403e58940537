#include <Python.h>

#include "bridge/interpreter_lock.h"

#include "bridge/host_exit.h"

namespace qv::bridge {
namespace {

// What every event reads about its thread. Trivially destructible, so that reading it is one
// thread-local look-up with no guard.
struct ThreadEntry {
  bool checked = false;           // keepThreadState has run on this thread
  PyThreadState* kept = nullptr;  // the state this bridge keeps for the thread, while it keeps one
  int depth = 0;                  // InterpreterLocks alive on this thread
};
thread_local ThreadEntry tlsEntry;

// The state a thread keeps between events. Its destructor runs at thread exit (thread_local), on
// the thread that owns the state, which is what PyGILState_Release requires.
class KeptThreadState {
 public:
  KeptThreadState() = default;
  KeptThreadState(const KeptThreadState&) = delete;
  KeptThreadState& operator=(const KeptThreadState&) = delete;

  ~KeptThreadState() {
    if (saved_ == nullptr) return;
    tlsEntry.kept = nullptr;
    // Once the host is ending, taking the lock would end this thread inside the interpreter; the
    // interpreter reclaims its thread states itself.
    if (!enterHost()) return;
    PyEval_RestoreThread(saved_);
    // Balances the outstanding Ensure: the count drops to zero, so the state is cleared and
    // deleted and the lock released.
    PyGILState_Release(outer_);
    leaveHost();
  }

  void keep() {
    outer_ = PyGILState_Ensure();
    saved_ = PyEval_SaveThread();
    tlsEntry.kept = saved_;
  }

  bool kept() const { return saved_ != nullptr; }

 private:
  PyGILState_STATE outer_ = PyGILState_UNLOCKED;
  PyThreadState* saved_ = nullptr;
};

KeptThreadState& keptState() {
  thread_local KeptThreadState state;
  return state;
}

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

bool interpreterRunning() { return Py_IsInitialized() != 0 && !finalizing(); }

void keepThreadState() {
  ThreadEntry& thread = tlsEntry;
  if (thread.checked) return;
  thread.checked = true;
  if (PyGILState_GetThisThreadState() != nullptr) return;  // the thread's owner keeps its state
  keptState().keep();
}

bool keepsOwnThreadState() { return tlsEntry.checked && keptState().kept(); }

InterpreterLock::InterpreterLock() : held_(enterHost()) {
  if (!held_) return;
  ThreadEntry& thread = tlsEntry;
  if (!thread.checked) keepThreadState();
  // A thread that keeps its own state takes the lock with it directly when no other lock is alive
  // on it: only these locks run host code on such a thread, so then it cannot hold the lock. Inside
  // one (a callable that called an export, with the lock held or let go), PyGILState_Ensure nests,
  // as it does on every other thread.
  if (thread.kept != nullptr && thread.depth == 0) {
    kept_ = thread.kept;
    PyEval_RestoreThread(kept_);
  } else {
    state_ = static_cast<int>(PyGILState_Ensure());
  }
  ++thread.depth;
  depth_ = &thread.depth;
  watchHostExit();
}

InterpreterLock::~InterpreterLock() {
  if (!held_) return;
  --*depth_;
  // A thread holding the lock keeps the interpreter from starting to finalise, and once it has
  // started no thread gets the lock. So finalising here means that the interpreter ended this
  // thread while it asked for the lock back (a callable still running after the exit hook gave
  // up waiting) and this destructor runs in that unwind: the state is no longer this thread's to
  // release.
  if (!finalizing()) {
    if (kept_ != nullptr) {
      PyEval_SaveThread();
    } else {
      PyGILState_Release(static_cast<PyGILState_STATE>(state_));
    }
  }
  leaveHost();
}

}  // namespace qv::bridge
