#include "zelk-python/writer/arguments.h"

#include "zelk-python/common/py.h"

namespace zelk::py {

bool optional_u64(PyObject* arg, std::optional<uint64_t>& out) {
  if (!arg || arg == Py_None) return true;
  unsigned long long value = PyLong_AsUnsignedLongLong(arg);
  if (PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool optional_u32(PyObject* arg, std::optional<uint32_t>& out) {
  std::optional<uint64_t> wide;
  if (!optional_u64(arg, wide)) return false;
  if (wide && *wide > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value does not fit in 32 bits");
    return false;
  }
  if (wide) out = static_cast<uint32_t>(*wide);
  return true;
}

bool optional_byte(PyObject* arg, const char* name, std::optional<uint8_t>& out) {
  std::optional<uint64_t> wide;
  if (!optional_u64(arg, wide)) return false;
  if (wide && *wide > 255) {
    PyErr_Format(PyExc_ValueError, "%s must be 0 to 255", name);
    return false;
  }
  if (wide) out = static_cast<uint8_t>(*wide);
  return true;
}

bool optional_byte(PyObject* arg, const char* name, uint8_t& out) {
  std::optional<uint8_t> value;
  if (!optional_byte(arg, name, value)) return false;
  out = value.value_or(out);
  return true;
}

bool optional_bytes(PyObject* arg, const char* name, std::optional<Bytes>& out) {
  if (!arg || arg == Py_None) return true;
  if (!PyBytes_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "%s must be bytes or None", name);
    return false;
  }
  ByteSpan data = bytes_view(arg);
  out.emplace(data.begin(), data.end());
  return true;
}

bool text_bytes(PyObject* arg, std::string& out) {
  if (PyBytes_Check(arg)) {
    ByteSpan data = bytes_view(arg);
    out.assign(data.begin(), data.end());
    return true;
  }
  if (PyUnicode_Check(arg)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
    if (!utf8) return false;
    out.assign(utf8, static_cast<size_t>(size));
    return true;
  }
  PyErr_SetString(PyExc_TypeError, "expected bytes or str");
  return false;
}

bool bytes_sequence(PyObject* arg, std::vector<std::string>& out) {
  PyRef items(PySequence_Fast(arg, "expected a sequence of bytes or str"));
  if (!items) return false;
  Py_ssize_t count = PySequence_Size(items.get());
  out.resize(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef item(PySequence_GetItem(items.get(), i));
    if (!item || !text_bytes(item.get(), out[static_cast<size_t>(i)])) return false;
  }
  return true;
}

bool for_each_triple(PyObject* records, const std::function<bool(FastqRecord)>& take) {
  PyRef iterator(PyObject_GetIter(records));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    std::vector<std::string> fields;
    if (!bytes_sequence(item.get(), fields)) return false;
    if (fields.size() != 3) {
      PyErr_SetString(PyExc_ValueError, "each record must be a (name, sequence, quality) triple");
      return false;
    }
    if (!take({std::move(fields[0]), std::move(fields[1]), std::move(fields[2])})) return false;
  }
  return !PyErr_Occurred();
}

bool reads_block(PyObject* arg, dna::SequenceBlock& out) {
  std::vector<std::string> reads;
  if (!bytes_sequence(arg, reads)) return false;
  out.read_lengths.reserve(reads.size());
  for (const auto& read : reads) {
    if (read.size() > UINT32_MAX) {
      PyErr_SetString(PyExc_ValueError, "read longer than 2^32 - 1 bytes");
      return false;
    }
    out.read_lengths.push_back(static_cast<uint32_t>(read.size()));
    append_bytes(out.bases, as_bytes(read));
  }
  return true;
}

}  // namespace zelk::py
