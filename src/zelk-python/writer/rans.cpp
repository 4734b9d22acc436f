// Writer functions for the rANS coder: both encoders, the framed
// sub-stream, and every decoder variant so tests can compare them.
#include <cstring>

#include "zelk-rans/rans.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/writer.h"

namespace zelk::py {

namespace {

using rans::DecoderImpl;

// Parses an implementation name; false with ValueError set when unknown.
bool decoder_impl(const char* name, DecoderImpl& impl) {
  static constexpr std::pair<const char*, DecoderImpl> kNames[] = {
      {"auto", DecoderImpl::Auto}, {"scalar", DecoderImpl::Scalar},
      {"avx2", DecoderImpl::Avx2}, {"avx512", DecoderImpl::Avx512}};
  for (auto [text, value] : kNames) {
    if (std::strcmp(name, text) == 0) {
      impl = value;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown rANS decoder %s (expected auto, scalar, avx2 or avx512)", name);
  return false;
}

PyObject* py_rans_encode(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "order", nullptr};
  PyObject* data;
  int order;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Si:rans_encode", const_cast<char**>(keywords), &data,
                                   &order))
    return nullptr;
  if (order != 0 && order != 1) {
    PyErr_SetString(PyExc_ValueError, "order must be 0 or 1");
    return nullptr;
  }
  return bytes_from(ByteSpan(rans::rans_encode(bytes_view(data), order)));
}

PyObject* py_rans_encode_best(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", nullptr};
  PyObject* data;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S:rans_encode_best", const_cast<char**>(keywords), &data))
    return nullptr;
  return bytes_from(ByteSpan(rans::rans_encode_best(bytes_view(data))));
}

PyObject* py_rans_decoder_available(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"impl", nullptr};
  const char* name;
  DecoderImpl impl;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s:rans_decoder_available", const_cast<char**>(keywords),
                                   &name) ||
      !decoder_impl(name, impl))
    return nullptr;
  return PyBool_FromLong(rans::decoder_available(impl));
}

PyObject* py_rans_decode(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"block", "max_len", "impl", nullptr};
  PyObject* block;
  unsigned long long max_len;
  const char* name = "auto";
  DecoderImpl impl;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SK|s:rans_decode", const_cast<char**>(keywords), &block,
                                   &max_len, &name) ||
      !decoder_impl(name, impl))
    return nullptr;
  if (!rans::decoder_available(impl)) {
    PyErr_Format(PyExc_ValueError, "the %s rANS decoder needs a CPU feature this machine lacks", name);
    return nullptr;
  }
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
    ZELK_WRITER_FN(rans_encode, "rans_encode(data, order)\n--\n\nOne rANS block of order 0 or 1."),
    ZELK_WRITER_FN(rans_encode_best,
                   "rans_encode_best(data)\n--\n\nThe order-1 block when strictly shorter, else order 0."),
    ZELK_WRITER_FN(rans_decode,
                   "rans_decode(block, max_len, impl='auto')\n--\n\n"
                   "Decode one block of at most `max_len` bytes with the decoder `impl`: "
                   "'auto', 'scalar', 'avx2' or 'avx512' (order-1 blocks always decode scalar)."),
    ZELK_WRITER_FN(rans_decoder_available,
                   "rans_decoder_available(impl)\n--\n\nWhether this CPU runs the rANS decoder `impl`."),
    ZELK_WRITER_FN(rans_encode_framed,
                   "rans_encode_framed(data)\n--\n\nA framed sub-stream: raw length, coded length, block."),
    ZELK_WRITER_FN(rans_decode_framed,
                   "rans_decode_framed(data, max_len)\n--\n\n"
                   "Decode the framed sub-stream of at most `max_len` bytes at the start of `data`: "
                   "(payload, bytes consumed)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelk::py
