#include <Python.h>

#include "bridge/interpreter_lock.h"

#include "bridge/host_exit.h"

namespace qv::bridge {
namespace {

// The state a thread keeps between events. Its destructor runs at thread exit (thread_local), on
// the thread that owns the state, which is what PyGILState_Release requires.
class KeptThreadState {
 public:
  KeptThreadState() = default;
  KeptThreadState(const KeptThreadState&) = delete;
  KeptThreadState& operator=(const KeptThreadState&) = delete;

  ~KeptThreadState() {
    if (saved_ == nullptr) return;
    // After finalisation began, taking the lock would end this thread inside the interpreter;
    // the interpreter reclaims its thread states itself.
    if (!interpreterRunning()) return;
    PyEval_RestoreThread(saved_);
    // Balances the outstanding Ensure: the count drops to zero, so the state is cleared and
    // deleted and the lock released.
    PyGILState_Release(outer_);
  }

  void keep() {
    outer_ = PyGILState_Ensure();
    saved_ = PyEval_SaveThread();
  }

  bool kept() const { return saved_ != nullptr; }

 private:
  PyGILState_STATE outer_ = PyGILState_UNLOCKED;
  PyThreadState* saved_ = nullptr;
};

// Trivially destructible, so the per-event check is a plain thread-local read.
thread_local bool tlsChecked = false;

KeptThreadState& keptState() {
  thread_local KeptThreadState state;
  return state;
}

}  // namespace

bool interpreterRunning() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsInitialized() != 0 && Py_IsFinalizing() == 0;
#else
  return Py_IsInitialized() != 0 && _Py_IsFinalizing() == 0;
#endif
}

void keepThreadState() {
  if (tlsChecked) return;
  tlsChecked = true;
  if (PyGILState_GetThisThreadState() != nullptr) return;  // the thread's owner keeps its state
  keptState().keep();
}

bool keepsOwnThreadState() { return tlsChecked && keptState().kept(); }

InterpreterLock::InterpreterLock() : held_(enterHost()) {
  if (!held_) return;
  keepThreadState();
  state_ = static_cast<int>(PyGILState_Ensure());
  watchHostExit();
}

InterpreterLock::~InterpreterLock() {
  if (!held_) return;
  // Not current only when the interpreter ended this thread while it asked for the lock back
  // (a callable still running after the exit hook gave up waiting): this destructor then runs in
  // that unwind, and the state is no longer this thread's to release.
  if (PyGILState_Check()) PyGILState_Release(static_cast<PyGILState_STATE>(state_));
  leaveHost();
}

}  // namespace qv::bridge
