#include "py.hpp"

#include <new>
#include <stdexcept>

#include "errors.hpp"
#include "stop.hpp"

namespace velmora::py {
namespace {

constexpr const char* kCapsuleName = "velmora_core.vector";

void free_vector(PyObject* capsule) {
  delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

PyObject* internal_error_type() {
  // Created once under the interpreter lock on first use; lives for the process.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "velmora_core.InternalError",
      "A violated length or index precondition, or arrays shared in conflicting roles.",
      PyExc_BaseException, nullptr);
  return type;
}

void raise_internal(const std::string& message) {
  PyObject* type = internal_error_type();
  if (type != nullptr) PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

PyObject* to_array(std::vector<double>&& values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  if (values.empty()) return check(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  auto* owner = new std::vector<double>(std::move(values));
  Ref capsule(PyCapsule_New(owner, kCapsuleName, free_vector));
  if (!capsule) {
    delete owner;
    throw PythonError{};
  }
  Ref array(check(PyArray_SimpleNewFromData(1, dims, NPY_DOUBLE, owner->data())));
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) <
      0) {
    throw PythonError{};
  }
  return array.release();
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "velmora_core: error raised without a message");
    }
  } catch (const Stopped&) {
    // A stopped computation: the signal handler's exception is normally pending already.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const InternalError& e) {
    PyErr_SetString(internal_error_type(), e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(internal_error_type(), e.what());
  } catch (...) {
    PyErr_SetString(internal_error_type(), "unexpected failure in the numerical core");
  }
}

}  // namespace velmora::py
