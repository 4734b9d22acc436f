#include "zelk-python/common/py.h"

#include <cinttypes>
#include <cstdio>

namespace zelk::py {

PyObject* raise_archive_error(PyObject* zelk_error, const ArchiveError& error) {
  PyObject* type = error.kind() == ErrorKind::Io                ? PyExc_OSError
                   : error.kind() == ErrorKind::InvalidArgument ? PyExc_ValueError
                                                                : zelk_error;
  PyErr_SetString(type, error.message().c_str());
  return nullptr;
}

SignalWatch::~SignalWatch() {
  if (!type_) return;
  PyGILState_STATE gil = PyGILState_Ensure();
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
  PyGILState_Release(gil);
}

bool SignalWatch::raised() {
  if (type_) return true;
  PyGILState_STATE gil = PyGILState_Ensure();
  if (PyErr_CheckSignals() < 0) PyErr_Fetch(&type_, &value_, &traceback_);
  PyGILState_Release(gil);
  return type_ != nullptr;
}

void SignalWatch::restore() {
  PyErr_Restore(type_, value_, traceback_);
  type_ = value_ = traceback_ = nullptr;
}

PyObject* bytes_from(ByteSpan data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                   static_cast<Py_ssize_t>(data.size()));
}

PyObject* bytes_from(std::string_view data) {
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* bytes_list(const std::vector<std::string>& items) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = bytes_from(std::string_view(items[i]));
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

bool threads_from(PyObject* arg, uint64_t& threads) {
  threads = 0;
  if (!arg) return true;
  threads = PyLong_AsUnsignedLongLong(arg);
  return !PyErr_Occurred();
}

ByteSpan bytes_view(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes, &data, &size);
  return {reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

namespace {

// Decodes one UTF-8 scalar at `i`; returns its length, 0 when invalid.
size_t utf8_scalar(ByteSpan s, size_t i, uint32_t& code) {
  uint8_t lead = s[i];
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  size_t extra = (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 0;
  if (extra == 0 || s.size() - i <= extra) return 0;
  code = lead & (0x3F >> extra);
  for (size_t k = 1; k <= extra; ++k) {
    if ((s[i + k] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (s[i + k] & 0x3F);
  }
  static constexpr uint32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
  if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return extra + 1;
}

void append_utf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Control and other non-printable scalars that the rendering escapes.
bool needs_unicode_escape(uint32_t code) {
  return code < 0x20 || (code >= 0x7F && code < 0xA0) || code == 0xAD ||
         (code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E) ||
         (code >= 0x2060 && code <= 0x2064) || code == 0xFEFF;
}

}  // namespace

std::string utf8_lossy(ByteSpan data) {
  std::string out;
  out.reserve(data.size());
  for (size_t i = 0; i < data.size();) {
    uint32_t code;
    size_t n = utf8_scalar(data, i, code);
    if (n == 0) {
      append_utf8(out, 0xFFFD);
      ++i;
    } else {
      out.append(reinterpret_cast<const char*>(data.data() + i), n);
      i += n;
    }
  }
  return out;
}

std::string debug_quote(std::string_view utf8) {
  ByteSpan s = as_bytes(utf8);
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    uint32_t code;
    size_t n = utf8_scalar(s, i, code);
    if (n == 0) {  // callers pass valid UTF-8; keep going regardless
      code = 0xFFFD;
      n = 1;
    }
    switch (code) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (needs_unicode_escape(code)) {
          char escape[16];
          std::snprintf(escape, sizeof escape, "\\u{%" PRIx32 "}", code);
          out += escape;
        } else {
          append_utf8(out, code);
        }
    }
    i += n;
  }
  out += '"';
  return out;
}

}  // namespace zelk::py
