// The result classes handed to Python. Each is immutable once built and
// owns plain C++ data.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "zelk-container/decode.h"
#include "zelk-container/estimate.h"
#include "zelk-container/footer.h"
#include "zelk-container/inspect.h"
#include "zelk-python/reader/state.h"

namespace zelk::py {

// A Python object holding one C++ value.
template <class T>
struct Boxed {
  PyObject_HEAD
  T value;
};

template <class T>
T& unbox(PyObject* self) {
  return reinterpret_cast<Boxed<T>*>(self)->value;
}

// A new instance of `type_object` holding `value`.
template <class T>
PyObject* box(PyObject* type_object, T value) {
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  new (&unbox<T>(self)) T(std::move(value));
  return self;
}

template <class T>
void boxed_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  unbox<T>(self).~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// The heap-type description of a boxed class.
template <class T>
PyType_Spec boxed_spec(const char* name, PyType_Slot* slots) {
  return {name, static_cast<int>(sizeof(Boxed<T>)), 0,
          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
}

// Reader's class, defined with the streaming decode.
extern PyType_Spec reader_type_spec;

// Each returns a new reference, or nullptr with an exception set.
PyObject* new_info(ModuleState* state, container::ArchiveInfo info);
PyObject* new_record(ModuleState* state, container::Record record);
PyObject* new_index(ModuleState* state, container::Index index);
PyObject* new_group_loc(ModuleState* state, const container::GroupEntry& group);
PyObject* new_estimate(ModuleState* state, const container::EstimateTotals& totals);

}  // namespace zelk::py
