#include "bridge/host_call.h"

#include <cstring>

namespace qv::bridge {

PyObject* decodeGb2312(const char* text) {
  // Decoding the bytes directly is what PyCodec_Decode(PyBytes_FromString(text), "gb2312",
  // "ignore") does, without the intermediate bytes object.
  const char* bytes = text != nullptr ? text : "";
  PyObject* decoded = PyUnicode_Decode(bytes, static_cast<Py_ssize_t>(std::strlen(bytes)), "gb2312", "ignore");
  if (decoded == nullptr) reportHostError();
  return decoded;
}

PyObject* hostString(const char* text) {
  const char* bytes = text != nullptr ? text : "";
  PyObject* string = PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(std::strlen(bytes)), "replace");
  if (string == nullptr) reportHostError();
  return string;
}

void reportHostError() {
  if (PyErr_Occurred() == nullptr) return;
  if (!PyErr_ExceptionMatches(PyExc_SystemExit)) {
    PyErr_Print();
    return;
  }
  // PyErr_Print would end the whole process for a SystemExit, from whatever runtime thread raised
  // the event; show it like any other error instead.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  PyErr_Display(type, value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_Clear();
}

void callHost(PyObject* callable, PyObject* args) {
  PyObject* result = PyObject_Call(callable, args, nullptr);
  Py_XDECREF(result);
  if (result == nullptr) reportHostError();
}

}  // namespace qv::bridge
