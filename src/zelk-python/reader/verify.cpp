// verify: header, footer and whole-file CRC with the lock released.
#include "zelk-container/verify.h"
#include "zelk-python/common/py.h"
#include "zelk-python/common/source.h"
#include "zelk-python/reader/functions.h"
#include "zelk-python/reader/state.h"

namespace zelk::py {

PyObject* py_verify(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "threads", nullptr};
  PyObject* source_arg;
  PyObject* threads_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:verify", const_cast<char**>(keywords), &source_arg,
                                   &threads_arg))
    return nullptr;
  uint64_t threads;
  if (!threads_from(threads_arg, threads)) return nullptr;
  auto source = source_from_bytes_or_path(source_arg);
  if (!source) return nullptr;
  Result<void> verdict = [&] {
    GilReleased unlocked;
    auto result = container::verify_archive(*source, threads);
    source.reset();
    return result;
  }();
  if (!verdict) return raise_archive_error(module_state(module)->zelk_error, verdict.error());
  Py_RETURN_NONE;
}

}  // namespace zelk::py
