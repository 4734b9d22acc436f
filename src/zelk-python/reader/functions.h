// The module functions of _zelk, each (module, args, kwargs).
#pragma once

#include <Python.h>

namespace zelk::py {

#define ZELK_DECLARE(name) PyObject* py_##name(PyObject* module, PyObject* args, PyObject* kwargs)
ZELK_DECLARE(open);
ZELK_DECLARE(decompress_to_path);
ZELK_DECLARE(decompress_to_bytes);
ZELK_DECLARE(inspect);
ZELK_DECLARE(open_index);
ZELK_DECLARE(read_names);
ZELK_DECLARE(read_sequences);
ZELK_DECLARE(read_qualities);
ZELK_DECLARE(read_block);
ZELK_DECLARE(estimate);
ZELK_DECLARE(verify);
ZELK_DECLARE(parse_index_suffix);
ZELK_DECLARE(decode_names_bytes);
ZELK_DECLARE(decode_sequences_bytes);
ZELK_DECLARE(decode_qualities_bytes);
ZELK_DECLARE(quality_needs_sequence_bytes);
#undef ZELK_DECLARE

}  // namespace zelk::py
