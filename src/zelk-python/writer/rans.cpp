// Writer functions for the rANS coder: both encoders, the framed
// sub-stream, and every decoder variant so tests can compare them.
#include <cstring>

#include "zelk-rans/rans.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/writer.h"

namespace zelk::py {

namespace {

using rans::Impl;

// Parses an implementation name; false with ValueError set when unknown.
bool parse_impl(const char* name, Impl& impl) {
  static constexpr std::pair<const char*, Impl> kNames[] = {
      {"auto", Impl::Auto}, {"scalar", Impl::Scalar},
      {"avx2", Impl::Avx2}, {"avx512", Impl::Avx512}};
  for (auto [text, value] : kNames) {
    if (std::strcmp(name, text) == 0) {
      impl = value;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown rANS implementation %s (expected auto, scalar, avx2 or avx512)", name);
  return false;
}

// Parses a name this CPU can run; false with ValueError set otherwise.
bool parse_available_impl(const char* name, Impl& impl) {
  if (!parse_impl(name, impl)) return false;
  if (rans::impl_available(impl)) return true;
  PyErr_Format(PyExc_ValueError, "the %s rANS coder needs a CPU feature this machine lacks", name);
  return false;
}

PyObject* py_rans_encode(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "order", "impl", nullptr};
  PyObject* data;
  int order;
  const char* name = "auto";
  Impl impl;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Si|s:rans_encode", const_cast<char**>(keywords), &data,
                                   &order, &name) ||
      !parse_available_impl(name, impl))
    return nullptr;
  if (order != 0 && order != 1) {
    PyErr_SetString(PyExc_ValueError, "order must be 0 or 1");
    return nullptr;
  }
  return bytes_from(ByteSpan(rans::rans_encode(bytes_view(data), order, impl)));
}

PyObject* py_rans_encode_best(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", nullptr};
  PyObject* data;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S:rans_encode_best", const_cast<char**>(keywords), &data))
    return nullptr;
  return bytes_from(ByteSpan(rans::rans_encode_best(bytes_view(data))));
}

PyObject* py_rans_impl_available(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"impl", nullptr};
  const char* name;
  Impl impl;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s:rans_impl_available", const_cast<char**>(keywords),
                                   &name) ||
      !parse_impl(name, impl))
    return nullptr;
  return PyBool_FromLong(rans::impl_available(impl));
}

PyObject* py_rans_decode(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"block", "max_len", "impl", nullptr};
  PyObject* block;
  unsigned long long max_len;
  const char* name = "auto";
  Impl impl;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SK|s:rans_decode", const_cast<char**>(keywords), &block,
                                   &max_len, &name) ||
      !parse_available_impl(name, impl))
    return nullptr;
  auto decoded = rans::rans_decode(bytes_view(block), max_len, impl);
  if (!decoded) return raise_writer_error(module, decoded.error());
  return bytes_from(ByteSpan(*decoded));
}

PyObject* py_rans_encode_framed(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", nullptr};
  PyObject* data;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S:rans_encode_framed", const_cast<char**>(keywords), &data))
    return nullptr;
  Bytes out;
  rans::append_framed(out, bytes_view(data));
  return bytes_from(ByteSpan(out));
}

PyObject* py_rans_decode_framed(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "max_len", nullptr};
  PyObject* data;
  unsigned long long max_len;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SK:rans_decode_framed", const_cast<char**>(keywords), &data,
                                   &max_len))
    return nullptr;
  ByteCursor cursor(bytes_view(data));
  auto decoded = rans::decode_framed(cursor, max_len);
  if (!decoded) return raise_writer_error(module, decoded.error());
  PyRef payload(bytes_from(ByteSpan(*decoded)));
  if (!payload) return nullptr;
  return Py_BuildValue("(On)", payload.get(), static_cast<Py_ssize_t>(cursor.position()));
}

}  // namespace

PyMethodDef rans_methods[] = {
    ZELK_WRITER_FN(rans_encode,
                   "rans_encode(data, order, impl='auto')\n--\n\n"
                   "One rANS block of order 0 or 1, coded by `impl` ('auto', 'scalar', 'avx512'; "
                   "'avx2' and order 1 use the scalar step)."),
    ZELK_WRITER_FN(rans_encode_best,
                   "rans_encode_best(data)\n--\n\nThe order-1 block when strictly shorter, else order 0."),
    ZELK_WRITER_FN(rans_decode,
                   "rans_decode(block, max_len, impl='auto')\n--\n\n"
                   "Decode one block of at most `max_len` bytes with the decoder `impl`: "
                   "'auto', 'scalar', 'avx2' or 'avx512' (order-1 blocks always decode scalar)."),
    ZELK_WRITER_FN(rans_impl_available,
                   "rans_impl_available(impl)\n--\n\nWhether this CPU runs the rANS coder `impl`."),
    ZELK_WRITER_FN(rans_encode_framed,
                   "rans_encode_framed(data)\n--\n\nA framed sub-stream: raw length, coded length, block."),
    ZELK_WRITER_FN(rans_decode_framed,
                   "rans_decode_framed(data, max_len)\n--\n\n"
                   "Decode the framed sub-stream of at most `max_len` bytes at the start of `data`: "
                   "(payload, bytes consumed)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelk::py
