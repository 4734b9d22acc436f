// inspect, open_index and parse_index_suffix.
#include <memory>

#include "zelk-container/footer.h"
#include "zelk-container/inspect.h"
#include "zelk-python/common/py.h"
#include "zelk-python/common/source.h"
#include "zelk-python/reader/functions.h"
#include "zelk-python/reader/objects.h"

namespace zelk::py {

namespace {

// Parses the single `source` argument of `function` into a bytes-or-path
// source; nullptr with an exception set on failure.
std::unique_ptr<Source> single_source_argument(const char* format, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", nullptr};
  PyObject* source_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &source_arg))
    return nullptr;
  return source_from_bytes_or_path(source_arg);
}

}  // namespace

PyObject* py_inspect(PyObject* module, PyObject* args, PyObject* kwargs) {
  auto source = single_source_argument("O:inspect", args, kwargs);
  if (!source) return nullptr;
  Result<container::ArchiveInfo> info = [&] {
    GilReleased unlocked;
    auto result = container::inspect_archive(*source);
    source.reset();  // close the file before re-taking the lock
    return result;
  }();
  ModuleState* state = module_state(module);
  if (!info) return raise_archive_error(state->zelk_error, info.error());
  return new_info(state, std::move(*info));
}

PyObject* py_open_index(PyObject* module, PyObject* args, PyObject* kwargs) {
  auto source = single_source_argument("O:open_index", args, kwargs);
  if (!source) return nullptr;
  Result<container::Index> index = [&] {
    GilReleased unlocked;
    BufferedReader reader(*source);
    auto result = container::read_index(reader);
    source.reset();
    return result;
  }();
  ModuleState* state = module_state(module);
  if (!index) return raise_archive_error(state->zelk_error, index.error());
  return new_index(state, std::move(*index));
}

PyObject* py_parse_index_suffix(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"suffix", "file_len", nullptr};
  PyObject* suffix;
  unsigned long long file_len;
  PyObject* file_len_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O:parse_index_suffix", const_cast<char**>(keywords),
                                   &PyBytes_Type, &suffix, &file_len_arg))
    return nullptr;
  file_len = PyLong_AsUnsignedLongLong(file_len_arg);
  if (PyErr_Occurred()) return nullptr;
  ModuleState* state = module_state(module);
  auto parsed = container::parse_index_suffix(bytes_view(suffix), file_len);
  if (!parsed) return raise_archive_error(state->zelk_error, parsed.error());
  if (!parsed->index) return Py_BuildValue("(OK)", Py_None, static_cast<unsigned long long>(parsed->need_at_least));
  PyRef index(new_index(state, std::move(*parsed->index)));
  if (!index) return nullptr;
  return Py_BuildValue("(OO)", index.get(), Py_None);
}

}  // namespace zelk::py
