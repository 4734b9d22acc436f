// Python objects that each hold one C++ value, shared by the classes of
// both extension modules.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

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

// The heap-type description of a boxed class; `flags` adds to the
// defaults (results only come from functions unless a class says otherwise).
template <class T>
PyType_Spec boxed_spec(const char* name, PyType_Slot* slots,
                       unsigned int flags = Py_TPFLAGS_DISALLOW_INSTANTIATION) {
  return {name, static_cast<int>(sizeof(Boxed<T>)), 0, Py_TPFLAGS_DEFAULT | flags, slots};
}

}  // namespace zelk::py
