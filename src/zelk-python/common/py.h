// Small tools shared by both extension modules: an owning PyObject
// reference, the interpreter-lock release guard, conversions, and the
// mapping of ArchiveError onto Python exceptions.
#pragma once

#include <Python.h>

#include <string>
#include <utility>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

// One method-table entry for the function `py_<name>`.
#define ZELK_METHOD(name, flags, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_##name)), flags, doc}

namespace zelk::py {

// Owns one strong reference.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* object) : object_(object) {}  // steals
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Releases the interpreter lock for its scope.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Runs pending signal handlers from code that released the lock: takes the
// lock, lets a handler raise (KeyboardInterrupt on Ctrl-C) and keeps that
// exception until restore() hands it back to the caller.
class SignalWatch {
 public:
  SignalWatch() = default;
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;
  ~SignalWatch();

  // True once a handler has raised; called without the lock.
  bool raised();
  // Sets the kept exception as the current one; lock held.
  void restore();

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Raises the Python exception for `error`: OSError for Io, otherwise
// `zelk_error` with the error's text. Returns nullptr for convenience.
PyObject* raise_archive_error(PyObject* zelk_error, const ArchiveError& error);

PyObject* bytes_from(ByteSpan data);
PyObject* bytes_from(std::string_view data);
// A new list of bytes objects, one per element.
PyObject* bytes_list(const std::vector<std::string>& items);

// The `threads` argument: an unsigned 64-bit count, 0 when absent. False
// with OverflowError/TypeError set on a bad value.
bool threads_from(PyObject* arg, uint64_t& threads);

// Borrowed view of a bytes object's contents.
ByteSpan bytes_view(PyObject* bytes);

// The "debug rendering" of a text: double-quoted with escapes.
std::string debug_quote(std::string_view utf8);
// Decodes bytes as UTF-8, replacing invalid sequences with U+FFFD.
std::string utf8_lossy(ByteSpan data);

}  // namespace zelk::py
