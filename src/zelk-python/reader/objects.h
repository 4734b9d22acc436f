// The result classes handed to Python. Each is immutable once built and
// owns plain C++ data.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "zelk-container/decode.h"
#include "zelk-container/estimate.h"
#include "zelk-container/footer.h"
#include "zelk-container/inspect.h"
#include "zelk-python/common/boxed.h"
#include "zelk-python/reader/state.h"

namespace zelk::py {

// Reader's class, defined with the streaming decode.
extern PyType_Spec reader_type_spec;

// Each returns a new reference, or nullptr with an exception set.
PyObject* new_info(ModuleState* state, container::ArchiveInfo info);
PyObject* new_record(ModuleState* state, container::Record record);
PyObject* new_index(ModuleState* state, container::Index index);
PyObject* new_group_loc(ModuleState* state, const container::GroupEntry& group);
PyObject* new_estimate(ModuleState* state, const container::EstimateTotals& totals);

}  // namespace zelk::py
