// Common ground of the Python module surface: the CPython and NumPy headers, owned
// references, and the way errors travel inside this layer.
//
// Inside module/ a Python error is carried as a C++ exception (PythonError) from the point
// where the Python error indicator was set to the function boundary, so that array
// reservations and copies are released by their destructors on every path.  The boundary
// (`guarded`) also maps the core's exceptions: no C++ exception reaches the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// One NumPy C-API table for all translation units of the module; module.cpp imports it.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL velmora_core_ARRAY_API
#ifndef VELMORA_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <string>
#include <utility>
#include <vector>

namespace velmora::py {

// Thrown after the Python error indicator has been set.
struct PythonError {};

// An owned (strong) reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Throws PythonError when `obj` is null (a CPython call failed and set the error).
inline PyObject* check(PyObject* obj) {
  if (obj == nullptr) throw PythonError{};
  return obj;
}

// The exception class for violated length and index preconditions and for conflicting use of
// arrays.  It derives from BaseException, so `except Exception` does not swallow it; it is not
// an attribute of the module.
PyObject* internal_error_type();

// Sets the internal-error exception with `message` and throws PythonError.
[[noreturn]] void raise_internal(const std::string& message);

// Sets a Python exception of `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// The type name of an object, for messages.
std::string type_name(PyObject* obj);

// A new one-dimensional float64 array that takes over the vector's storage without a copy.
PyObject* to_array(std::vector<double>&& values);

// Runs `body` and turns every exception into a Python error: PythonError passes through (the
// indicator is already set), the core's InternalError becomes the internal-error exception,
// allocation failure MemoryError.  Returns null on error.
template <class F>
PyObject* guarded(F&& body) noexcept;

void set_error_from_current_exception() noexcept;

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace velmora::py
