#include "zelk-python/common/source.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <string>

#include "zelk-base/thread.h"
#include "zelk-python/common/py.h"

namespace zelk::py {

namespace {

// Set by the atexit hook: from then on decode threads must not take the
// lock, which the interpreter would answer by ending the thread.
std::atomic<bool> interpreter_exiting{false};

PyObject* note_interpreter_exit(PyObject*, PyObject*) {
  interpreter_exiting = true;
  Py_RETURN_NONE;
}

PyMethodDef exit_hook = {"_zelk_note_exit", note_interpreter_exit, METH_NOARGS, nullptr};

bool must_not_call_python() { return interpreter_exiting || thread_is_exiting(); }

// Reads a Python file-like object; each .read() call takes the lock. Bytes
// beyond what was asked for are kept for the next read.
class FileLikeReader {
 public:
  explicit FileLikeReader(PyObject* read_method) : read_(PyRef::borrow(read_method)) {}
  FileLikeReader(FileLikeReader&&) = default;

  ~FileLikeReader() {
    if (!read_) return;
    if (must_not_call_python()) {
      (void)read_.release();  // the process is ending: leave the object be
      return;
    }
    PyGILState_STATE gil = PyGILState_Ensure();
    read_ = PyRef();
    PyGILState_Release(gil);
  }

  Result<size_t> operator()(std::span<uint8_t> out) {
    if (pending_.size() == pending_pos_) {
      if (must_not_call_python()) return fail(ArchiveError::io("the interpreter is shutting down"));
      pending_.clear();
      pending_pos_ = 0;
      PyGILState_STATE gil = PyGILState_Ensure();
      auto filled = call_read(out.size());
      PyGILState_Release(gil);
      if (!filled) return fail(std::move(filled).error());
    }
    size_t n = std::min(out.size(), pending_.size() - pending_pos_);
    std::memcpy(out.data(), pending_.data() + pending_pos_, n);
    pending_pos_ += n;
    return n;
  }

 private:
  // Calls .read(n) and stores what it returned; lock held.
  Result<void> call_read(size_t wanted) {
    PyRef result(PyObject_CallFunction(read_.get(), "n", static_cast<Py_ssize_t>(wanted)));
    if (!result) return fail(ArchiveError::io(take_python_error()));
    PyObject* value = result.get();
    if (PyBytes_Check(value)) {
      ByteSpan data = bytes_view(value);
      pending_.assign(data.begin(), data.end());
      return {};
    }
    if (PyByteArray_Check(value)) {
      const auto* data = reinterpret_cast<const uint8_t*>(PyByteArray_AsString(value));
      pending_.assign(data, data + PyByteArray_Size(value));
      return {};
    }
    if (!PyUnicode_Check(value) && PySequence_Check(value)) return copy_integer_sequence(value);
    return fail(ArchiveError::io("file-like .read() must return bytes"));
  }

  Result<void> copy_integer_sequence(PyObject* sequence) {
    Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0) return fail(ArchiveError::io(take_python_error()));
    pending_.reserve(static_cast<size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
      PyRef item(PySequence_GetItem(sequence, i));
      long value = item && PyLong_Check(item.get()) ? PyLong_AsLong(item.get()) : -1;
      if (value < 0 || value > 255) {
        PyErr_Clear();
        pending_.clear();
        return fail(ArchiveError::io("file-like .read() must return bytes"));
      }
      pending_.push_back(static_cast<uint8_t>(value));
    }
    return {};
  }

  static std::string take_python_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    std::string text = "file-like .read() failed";
    if (value) {
      PyRef str(PyObject_Str(value));
      const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), nullptr) : nullptr;
      if (utf8 && *utf8) text = utf8;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Clear();
    return text;
  }

  PyRef read_;
  Bytes pending_;
  size_t pending_pos_ = 0;
};

}  // namespace

bool register_exit_hook() {
  PyRef hook(PyCFunction_NewEx(&exit_hook, nullptr, nullptr));
  PyRef atexit(PyImport_ImportModule("atexit"));
  if (!hook || !atexit) return false;
  PyRef registered(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return static_cast<bool>(registered);
}

namespace {

std::unique_ptr<Source> copy_bytes(PyObject* arg) {
  ByteSpan data = bytes_view(arg);
  return std::make_unique<MemorySource>(Bytes(data.begin(), data.end()));
}

std::unique_ptr<Source> open_path(const std::string& path) {
  auto file = FileSource::open(path);
  if (!file) {
    raise_open_error(path, file.error());
    return nullptr;
  }
  return std::move(*file);
}

bool is_path_like(PyObject* arg) {
  if (PyUnicode_Check(arg)) return true;
  PyRef fspath(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arg)), "__fspath__"));
  if (!fspath) PyErr_Clear();
  return static_cast<bool>(fspath);
}

}  // namespace

PyObject* raise_open_error(const std::string& path, const ArchiveError& error) {
  PyErr_Format(PyExc_OSError, "%s: %s", path.c_str(), error.message().c_str());
  return nullptr;
}

std::unique_ptr<OutputFile> output_file_from(PyObject* dest) {
  std::string name;
  bool descriptor = PyLong_Check(dest);
  int fd = -1;
  if (descriptor) {
    long value = PyLong_AsLong(dest);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value < 0 || value > INT_MAX) {
      PyErr_Format(PyExc_ValueError, "dest: %ld is not a file descriptor", value);
      return nullptr;
    }
    fd = static_cast<int>(value);
    name = "file descriptor " + std::to_string(fd);
  } else if (!path_from(dest, name)) {
    return nullptr;
  }
  auto file = descriptor ? OutputFile::duplicate(fd) : OutputFile::create(name);
  if (!file) {
    raise_open_error(name, file.error());
    return nullptr;
  }
  return std::make_unique<OutputFile>(std::move(*file));
}

bool path_from(PyObject* arg, std::string& path) {
  PyRef fs_path(PyOS_FSPath(arg));
  if (!fs_path) return false;
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(fs_path.get(), &encoded)) return false;
  PyRef owned(encoded);
  ByteSpan raw = bytes_view(encoded);
  path.assign(raw.begin(), raw.end());
  return true;
}

namespace {

// bytes (copied) or a path (opened); `matched` is false, with nothing
// raised, when `arg` is neither.
std::unique_ptr<Source> bytes_or_path_source(PyObject* arg, bool& matched) {
  matched = true;
  if (PyBytes_Check(arg)) return copy_bytes(arg);
  if (is_path_like(arg)) {
    std::string path;
    if (!path_from(arg, path)) return nullptr;
    return open_path(path);
  }
  matched = false;
  return nullptr;
}

}  // namespace

std::unique_ptr<Source> source_from_bytes_or_path(PyObject* arg) {
  bool matched;
  auto source = bytes_or_path_source(arg, matched);
  if (!matched) PyErr_SetString(PyExc_TypeError, "source must be bytes, a str path, or an os.PathLike");
  return source;
}

std::unique_ptr<Source> source_from_any(PyObject* arg) {
  bool matched;
  auto source = bytes_or_path_source(arg, matched);
  if (matched) return source;
  PyRef read(PyObject_GetAttrString(arg, "read"));
  if (read) return std::make_unique<CallbackSource>(FileLikeReader(read.get()));
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError,
                  "source must be bytes, a str/os.PathLike path, or a file-like object with .read()");
  return nullptr;
}

}  // namespace zelk::py
