// The private switch `_on_calling_thread` (fits started from this thread run on it alone) and
// the pool-size query `_pool_size`.
#include "interrupt.hpp"

#include "functions.hpp"

namespace velmora::py {

bool& on_calling_thread_requested() noexcept {
  thread_local bool requested = false;
  return requested;
}

namespace {

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
    Definition::of<pool_size>("_pool_size"),
};

}  // namespace
}  // namespace velmora::py
