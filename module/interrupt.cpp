// The private switches `_on_calling_thread` (fits started from this thread run on it alone)
// and `_stop_check` (a function those fits call to learn whether to stop), and the pool-size
// query `_pool_size`.
#include "interrupt.hpp"

#include <utility>

#include "functions.hpp"

namespace velmora::py {

bool& on_calling_thread_requested() noexcept {
  thread_local bool requested = false;
  return requested;
}

namespace {

// The calling thread's stop check (a new reference), or null.
PyObject*& stop_check() noexcept {
  thread_local PyObject* check = nullptr;
  return check;
}

}  // namespace

int check_signals_and_stop() noexcept {
  if (PyErr_CheckSignals() < 0) return -1;
  PyObject* check = stop_check();
  if (check == nullptr) return 0;
  Py_INCREF(check);  // the check may replace itself
  PyObject* result = PyObject_CallNoArgs(check);
  Py_DECREF(check);
  if (result == nullptr) return -1;
  Py_DECREF(result);
  return 0;
}

namespace {

PyObject* set_stop_check(Arguments& a) {
  PyObject* check = a.callable("check");
  Py_XINCREF(check);
  PyObject* previous = std::exchange(stop_check(), check);
  Py_XDECREF(previous);
  Py_RETURN_NONE;
}

PyObject* on_calling_thread(Arguments& a) {
  const bool previous = on_calling_thread_requested();
  on_calling_thread_requested() = a.flag("enabled");
  return check(PyBool_FromLong(previous ? 1 : 0));
}

PyObject* pool_size(Arguments&) {
  return check(PyLong_FromSize_t(pool::size()));
}

[[maybe_unused]] const Definition kDefinitions[] = {
    Definition::of<on_calling_thread>("_on_calling_thread"),
    Definition::of<set_stop_check>("_stop_check"),
    Definition::of<pool_size>("_pool_size"),
};

}  // namespace
}  // namespace velmora::py
