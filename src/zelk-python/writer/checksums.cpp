// The checksum primitives, exposed so tests can compare both CRC-32C paths
// with each other and with an independent implementation.
#include <cstring>

#include "zelk-base/crc32c.h"
#include "zelk-base/io.h"
#include "zelk-base/pool.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/writer.h"

namespace zelk::py {

namespace {

PyObject* py_crc32c(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "impl", nullptr};
  PyObject* data;
  const char* impl = "auto";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S|s:crc32c", const_cast<char**>(keywords), &data, &impl))
    return nullptr;
  ByteSpan bytes = bytes_view(data);
  uint32_t crc;
  if (std::strcmp(impl, "auto") == 0) {
    crc = crc32c(bytes);
  } else if (std::strcmp(impl, "table") == 0) {
    crc = crc32c_extend_table(0, bytes);
  } else if (std::strcmp(impl, "hardware") == 0) {
    if (!crc32c_hardware_available()) {
      PyErr_SetString(PyExc_RuntimeError, "this CPU has no CRC-32C instruction");
      return nullptr;
    }
    crc = crc32c_extend_hardware(0, bytes);
  } else {
    PyErr_SetString(PyExc_ValueError, "impl must be 'auto', 'table' or 'hardware'");
    return nullptr;
  }
  (void)module;
  return PyLong_FromUnsignedLong(crc);
}

PyObject* py_crc32c_hardware_available(PyObject*, PyObject*) {
  return PyBool_FromLong(crc32c_hardware_available());
}

PyObject* py_crc32c_combine(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"crc_a", "crc_b", "length_b", nullptr};
  unsigned int crc_a, crc_b;
  unsigned long long length_b;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "IIK:crc32c_combine", const_cast<char**>(keywords),
                                   &crc_a, &crc_b, &length_b))
    return nullptr;
  return PyLong_FromUnsignedLong(crc32c_combine(crc_a, crc_b, length_b));
}

PyObject* py_whole_file_crc(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "covered_length", "threads", nullptr};
  PyObject* data;
  unsigned long long covered_length;
  unsigned long long threads = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SK|K:whole_file_crc", const_cast<char**>(keywords),
                                   &data, &covered_length, &threads))
    return nullptr;
  ByteSpan bytes = bytes_view(data);
  MemorySource source(Bytes(bytes.begin(), bytes.end()));
  Result<uint32_t> crc = [&] {
    GilReleased unlocked;
    WorkerPool pool(WorkerPool::decode_pool_size(threads));
    BufferedReader reader(source);
    return whole_file_crc(reader, covered_length, &pool);
  }();
  if (!crc) return raise_writer_error(module, crc.error());
  return PyLong_FromUnsignedLong(*crc);
}

}  // namespace

PyMethodDef checksum_methods[] = {
    ZELK_WRITER_FN(crc32c, "crc32c(data, impl='auto')\n--\n\n"
                           "CRC-32C of `data` by the chosen path: 'auto', 'table' or 'hardware'."),
    {"crc32c_hardware_available", py_crc32c_hardware_available, METH_NOARGS,
     "crc32c_hardware_available()\n--\n\nWhether the CPU has the CRC-32C instruction."},
    ZELK_WRITER_FN(crc32c_combine, "crc32c_combine(crc_a, crc_b, length_b)\n--\n\n"
                                   "CRC-32C of A‖B from the CRCs of A and B and the length of B."),
    ZELK_WRITER_FN(whole_file_crc, "whole_file_crc(data, covered_length, threads=0)\n--\n\n"
                                   "The chunked parallel CRC-32C of the first `covered_length` bytes."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelk::py
