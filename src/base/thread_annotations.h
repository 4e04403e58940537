// Thread-safety annotations: clang checks them with -Wthread-safety; under g++ they compile away.
// Locks are declared as capabilities, guarded fields name their lock, functions name what they
// require, so the lock rules written in comments are also checked by a clang build
// (scripts/thread_safety.sh; the lock order is checked under -Wthread-safety-beta).
// Read a guarded record through its holder (`order.record.OrderID`), not through a const
// reference to the record: clang 14 loses the holder behind a const reference and reports the
// read as unguarded even under the lock.
#ifndef QV_BASE_THREAD_ANNOTATIONS_H
#define QV_BASE_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define QV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QV_THREAD_ANNOTATION(x)
#endif

#define QV_CAPABILITY(x) QV_THREAD_ANNOTATION(capability(x))
#define QV_SCOPED_CAPABILITY QV_THREAD_ANNOTATION(scoped_lockable)
#define QV_GUARDED_BY(x) QV_THREAD_ANNOTATION(guarded_by(x))
#define QV_PT_GUARDED_BY(x) QV_THREAD_ANNOTATION(pt_guarded_by(x))
#define QV_ACQUIRED_AFTER(...) QV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define QV_ACQUIRED_BEFORE(...) QV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define QV_REQUIRES(...) QV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QV_REQUIRES_SHARED(...) QV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define QV_ACQUIRE(...) QV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QV_ACQUIRE_SHARED(...) QV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define QV_RELEASE(...) QV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QV_RELEASE_SHARED(...) QV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define QV_TRY_ACQUIRE(...) QV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QV_EXCLUDES(...) QV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QV_NO_THREAD_SAFETY_ANALYSIS QV_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // QV_BASE_THREAD_ANNOTATIONS_H
