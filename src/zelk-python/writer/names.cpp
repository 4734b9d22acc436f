// Writer functions for the names codec and the name template.
#include "zelk-names/names.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/writer.h"

namespace zelk::py {

namespace {

PyObject* py_encode_names(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"names", nullptr};
  PyObject* names_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:encode_names", const_cast<char**>(keywords), &names_arg))
    return nullptr;
  std::vector<std::string> names;
  if (!bytes_sequence(names_arg, names)) return nullptr;
  return bytes_from(ByteSpan(names::encode_names(names)));
}

// One template column: bytes for a literal, (offset, width) for a counter.
bool template_column(PyObject* item, names::NameTemplate& out) {
  if (PyBytes_Check(item)) {
    ByteSpan literal = bytes_view(item);
    out.columns.emplace_back(std::string(literal.begin(), literal.end()));
    return true;
  }
  long long offset;
  unsigned int width;
  if (!PyArg_ParseTuple(item, "LI:name template counter", &offset, &width)) return false;
  if (width > names::kMaxCounterWidth) {
    PyErr_SetString(PyExc_ValueError, "counter width above 1024");
    return false;
  }
  out.columns.emplace_back(names::TemplateCounter{offset, width});
  return true;
}

PyObject* py_encode_name_template(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"columns", nullptr};
  PyObject* columns_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:encode_name_template", const_cast<char**>(keywords),
                                   &columns_arg))
    return nullptr;
  PyRef items(PySequence_Fast(columns_arg, "expected a sequence of columns"));
  if (!items) return nullptr;
  Py_ssize_t count = PySequence_Size(items.get());
  if (count > static_cast<Py_ssize_t>(names::kMaxTemplateColumns)) {
    PyErr_SetString(PyExc_ValueError, "more than 64 template columns");
    return nullptr;
  }
  names::NameTemplate name_template;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef item(PySequence_GetItem(items.get(), i));
    if (!item || !template_column(item.get(), name_template)) return nullptr;
  }
  return bytes_from(ByteSpan(names::encode_name_template(name_template)));
}

PyObject* py_render_name_template(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"template", "n", nullptr};
  PyObject* coded;
  unsigned long long n;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SK:render_name_template", const_cast<char**>(keywords),
                                   &coded, &n))
    return nullptr;
  auto parsed = names::parse_name_template(bytes_view(coded));
  if (!parsed) return raise_writer_error(module, parsed.error());
  return bytes_from(std::string_view(names::render_name_template(*parsed, n)));
}

}  // namespace

PyMethodDef names_methods[] = {
    ZELK_WRITER_FN(encode_names, "encode_names(names)\n--\n\nThe names stream of a list of names (bytes)."),
    ZELK_WRITER_FN(encode_name_template,
                   "encode_name_template(columns)\n--\n\n"
                   "A name template: each column is bytes (a literal) or an (offset, width) counter."),
    ZELK_WRITER_FN(render_name_template,
                   "render_name_template(template, n)\n--\n\n"
                   "Parse a coded name template and render it for counter value `n`."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelk::py
