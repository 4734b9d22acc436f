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
  return bytes_list(*names);
}

}  // namespace zelk::py
