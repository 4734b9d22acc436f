#include "zelk-python/reader/stream_name.h"

#include <string_view>

#include "zelk-python/common/py.h"

namespace zelk::py {

bool stream_kind_from(PyObject* arg, container::StreamKind& kind) {
  if (!PyUnicode_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "stream must be a str");
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
  if (!utf8) return false;
  std::string_view name(utf8, static_cast<size_t>(size));
  using container::StreamKind;
  if (name == "names" || name == "name") {
    kind = StreamKind::Names;
  } else if (name == "sequence" || name == "seq") {
    kind = StreamKind::Sequence;
  } else if (name == "quality" || name == "qual") {
    kind = StreamKind::Quality;
  } else {
    std::string shown = debug_quote(name);
    PyErr_Format(PyExc_ValueError, "unknown stream %s; expected 'names', 'sequence', or 'quality'",
                 shown.c_str());
    return false;
  }
  return true;
}

}  // namespace zelk::py
