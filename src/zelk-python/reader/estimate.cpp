// estimate: the FASTQ size projection for one source or a group.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "zelk-container/estimate.h"
#include "zelk-quality/quality.h"
#include "zelk-python/common/py.h"
#include "zelk-python/common/source.h"
#include "zelk-python/reader/functions.h"
#include "zelk-python/reader/objects.h"

namespace zelk::py {

namespace {

bool binning_from(PyObject* arg, uint8_t& tag) {
  tag = 0;
  if (!arg) return true;
  if (!PyUnicode_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "quality_binning must be a str");
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
  if (!utf8) return false;
  std::string folded(utf8, static_cast<size_t>(size));
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  auto found = quality::binning_tag(folded);
  if (!found) {
    std::string shown = debug_quote(folded);
    PyErr_Format(PyExc_ValueError, "unknown quality_binning %s; expected lossless, bin8, bin4, bin2, ont, or hifi",
                 shown.c_str());
    return false;
  }
  tag = *found;
  return true;
}

// The sources of the call: a list or tuple is a group.
bool sources_from(PyObject* arg, std::vector<PyObject*>& sources) {
  if (!PyList_Check(arg) && !PyTuple_Check(arg)) {
    sources.push_back(arg);
    return true;
  }
  Py_ssize_t count = PySequence_Size(arg);
  if (count < 0) return false;
  if (count == 0) {
    PyErr_SetString(PyExc_ValueError, "estimate() requires at least one source");
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_GetItem(arg, i);
    if (!item) return false;
    sources.push_back(item);
    Py_DECREF(item);  // the group keeps it alive for the call
  }
  return true;
}

}  // namespace

PyObject* py_estimate(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "level", "quality_binning", "sample_reads", "threads", nullptr};
  PyObject *source_arg, *binning_arg = nullptr, *sample_arg = nullptr, *threads_arg = nullptr;
  unsigned char level = 5;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$bOOO:estimate", const_cast<char**>(keywords), &source_arg,
                                   &level, &binning_arg, &sample_arg, &threads_arg))
    return nullptr;
  uint8_t binning;
  uint64_t sample_reads = 1048576, threads;
  if (sample_arg) {
    sample_reads = PyLong_AsUnsignedLongLong(sample_arg);
    if (PyErr_Occurred()) return nullptr;
  }
  std::vector<PyObject*> sources;
  if (!binning_from(binning_arg, binning) || !threads_from(threads_arg, threads) ||
      !sources_from(source_arg, sources))
    return nullptr;
  // `threads` is accepted for symmetry; the models run on the shared pool.
  uint64_t cap = std::min<uint64_t>(std::max<uint64_t>(sample_reads / sources.size(), 1), container::kMaxSampleRecords);
  ModuleState* state = module_state(module);
  container::EstimateTotals totals;
  for (PyObject* source_item : sources) {
    auto source = source_from_bytes_or_path(source_item);
    if (!source) return nullptr;
    Result<void> added = [&] {
      GilReleased unlocked;
      auto result = container::estimate_source(*source, cap, level, binning, totals);
      source.reset();
      return result;
    }();
    if (!added) return raise_archive_error(state->zelk_error, added.error());
  }
  return new_estimate(state, totals);
}

}  // namespace zelk::py
