// The result classes handed to Python. Each is immutable once built and
// owns plain C++ data.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "zelk/container/footer.h"
#include "zelk/container/inspect.h"
#include "zelk-python/reader/state.h"

namespace zelk::py {

struct DecodedRecord {
  std::string name;
  std::string sequence;
  std::string quality;
};

// Each returns a new reference, or nullptr with an exception set.
PyObject* new_info(ModuleState* state, container::ArchiveInfo info);
PyObject* new_record(ModuleState* state, DecodedRecord record);
PyObject* new_index(ModuleState* state, container::Index index);
PyObject* new_group_loc(ModuleState* state, const container::GroupEntry& group);

}  // namespace zelk::py
