// HostObject: an object of the Python host, seen from code that must not include Python.h.
// Only src/bridge dereferences it; everything else stores and passes it. References are borrowed:
// the runtime never changes a host object's reference count, so the host keeps alive every
// callable it registers for as long as the client exists.
#ifndef QV_BRIDGE_HOST_OBJECT_H
#define QV_BRIDGE_HOST_OBJECT_H

struct _object;  // CPython's PyObject

namespace qv {

using HostObject = _object*;

}  // namespace qv

#endif  // QV_BRIDGE_HOST_OBJECT_H
