// Python spellings of the three streams.
#pragma once

#include <Python.h>

#include "zelk-container/footer.h"

namespace zelk::py {

// "names"/"name", "sequence"/"seq", "quality"/"qual"; anything else raises
// ValueError (or TypeError for a non-str). False with an exception set.
bool stream_kind_from(PyObject* arg, container::StreamKind& kind);

}  // namespace zelk::py
