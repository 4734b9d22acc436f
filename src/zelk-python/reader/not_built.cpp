// Functions whose decoders are not built yet: each says so by name.
#include "zelk-python/reader/functions.h"

namespace zelk::py {

#define ZELK_NOT_BUILT(name)                                            \
  PyObject* py_##name(PyObject*, PyObject*, PyObject*) {                 \
    PyErr_SetString(PyExc_NotImplementedError, #name " is not implemented yet"); \
    return nullptr;                                                      \
  }

ZELK_NOT_BUILT(open)
ZELK_NOT_BUILT(decompress_to_path)
ZELK_NOT_BUILT(decompress_to_bytes)
ZELK_NOT_BUILT(read_names)
ZELK_NOT_BUILT(read_sequences)
ZELK_NOT_BUILT(read_qualities)
ZELK_NOT_BUILT(read_block)
ZELK_NOT_BUILT(estimate)
ZELK_NOT_BUILT(verify)
ZELK_NOT_BUILT(decode_sequences_bytes)
ZELK_NOT_BUILT(decode_qualities_bytes)
ZELK_NOT_BUILT(quality_needs_sequence_bytes)

}  // namespace zelk::py
