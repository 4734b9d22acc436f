// Functions whose decoders are not built yet: each says so by name.
#include "zelk-python/reader/functions.h"

namespace zelk::py {

#define ZELK_NOT_BUILT(name)                                            \
  PyObject* py_##name(PyObject*, PyObject*, PyObject*) {                 \
    PyErr_SetString(PyExc_NotImplementedError, #name " is not implemented yet"); \
    return nullptr;                                                      \
  }

ZELK_NOT_BUILT(estimate)

}  // namespace zelk::py
