// Rows describing the CTP declarations as compiled: struct and field layout, virtual method slots.
// compiled_layout.cc (generated) fills them; layout_test.cc compares them with the reference tables.
#ifndef QV_TESTS_CTPAPI_COMPILED_LAYOUT_H
#define QV_TESTS_CTPAPI_COMPILED_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// A struct row has an empty field name and offset 0.
struct LayoutRow {
  const char* structName;
  const char* fieldName;
  size_t size;
  size_t align;
  size_t offset;
};

struct SlotRow {
  const char* className;
  const char* methodName;
  long slot;
};

// The vtable slot named by a pointer to a virtual member function, or -1 for a non-virtual one.
// Itanium C++ ABI: the pointer's first word holds 1 + the slot's byte offset in the vtable.
template <class Method>
long virtualSlot(Method method) {
  static_assert(sizeof(Method) == 2 * sizeof(uintptr_t));
  uintptr_t words[2];
  std::memcpy(words, &method, sizeof words);
  if ((words[0] & 1) == 0) return -1;
  return static_cast<long>((words[0] - 1) / sizeof(void*));
}

const std::vector<LayoutRow>& compiledLayout();
const std::vector<SlotRow>& compiledSlots();
// One row per class, method "(count)": the number of virtual slots the class has.
const std::vector<SlotRow>& compiledSlotCounts();

#endif  // QV_TESTS_CTPAPI_COMPILED_LAYOUT_H
