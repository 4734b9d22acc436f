// decode_names_bytes: one fetched names stream, decoded in memory with the
// interpreter lock held.
#include "zelk-tokenizer/names.h"
#include "zelk-python/common/py.h"
#include "zelk-python/reader/functions.h"
#include "zelk-python/reader/state.h"

namespace zelk::py {

PyObject* py_decode_names_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"coded", nullptr};
  PyObject* coded;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:decode_names_bytes", const_cast<char**>(keywords),
                                   &PyBytes_Type, &coded))
    return nullptr;
  auto names = names::decode_names(bytes_view(coded));
  if (!names) return raise_archive_error(module_state(module)->zelk_error, names.error());
  PyRef list(PyList_New(static_cast<Py_ssize_t>(names->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < names->size(); ++i) {
    PyObject* name = bytes_from((*names)[i]);
    if (!name) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name);
  }
  return list.release();
}

}  // namespace zelk::py
