// Per-module state of _zelk: the exception type and the result classes.
#pragma once

#include <Python.h>

namespace zelk::py {

enum TypeSlot { kRecordType, kReaderType, kInfoType, kIndexType, kGroupLocType, kEstimateType, kTypeCount };

struct ModuleState {
  PyObject* zelk_error;
  PyObject* types[kTypeCount];
};

ModuleState* module_state(PyObject* module);
// The state of the _zelk module that defined `type`.
ModuleState* state_of_type(PyTypeObject* type);

// Creates the heap types into `state` and adds them to `module`.
int add_types(PyObject* module, ModuleState* state);

}  // namespace zelk::py
