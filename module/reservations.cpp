#include "reservations.hpp"

#include <pthread.h>

#include <mutex>
#include <string>

namespace velmora::py {
namespace {

struct Entry {
  std::uintptr_t lo;
  std::uintptr_t hi;  // one past the last byte
  bool exclusive;
  std::uint64_t id;
  std::string param;
};

struct Registry {
  std::mutex mutex;
  std::vector<Entry> entries;
  std::uint64_t next_id = 1;
};

Registry* the_registry = nullptr;

// A fork copies the registry but not the threads whose calls hold its entries.  The fork waits
// until no thread is changing the registry, and the child starts with no reservation: the
// calls that held them do not exist there, and their memory is the child's own copy.
void before_fork() { the_registry->mutex.lock(); }
void after_fork_in_parent() { the_registry->mutex.unlock(); }
void after_fork_in_child() {
  the_registry->entries.clear();
  the_registry->mutex.unlock();
}

Registry& registry() {
  static Registry* r = [] {
    the_registry = new Registry;  // outlives every call, including during shutdown
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return the_registry;
  }();
  return *r;
}

// The byte range spanned by the array's elements, whatever the sign of its strides.
bool extent(PyArrayObject* array, std::uintptr_t& lo, std::uintptr_t& hi) {
  if (PyArray_SIZE(array) == 0) return false;
  auto start = reinterpret_cast<std::intptr_t>(PyArray_BYTES(array));
  std::intptr_t low = start;
  std::intptr_t high = start;
  for (int d = 0; d < PyArray_NDIM(array); ++d) {
    const std::intptr_t span = static_cast<std::intptr_t>(PyArray_DIM(array, d) - 1) *
                               static_cast<std::intptr_t>(PyArray_STRIDE(array, d));
    if (span < 0) {
      low += span;
    } else {
      high += span;
    }
  }
  lo = static_cast<std::uintptr_t>(low);
  hi = static_cast<std::uintptr_t>(high) + static_cast<std::uintptr_t>(PyArray_ITEMSIZE(array));
  return true;
}

}  // namespace

void Reservations::reserve(PyArrayObject* array, bool exclusive, const char* param) {
  std::uintptr_t lo = 0;
  std::uintptr_t hi = 0;
  if (!extent(array, lo, hi)) return;  // no element, no memory to share
  Registry& r = registry();
  std::string conflict;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const Entry& e : r.entries) {
      if (e.lo < hi && lo < e.hi && (exclusive || e.exclusive)) {
        bool mine = false;
        for (std::uint64_t id : ids_) mine = mine || id == e.id;
        if (mine) {
          conflict = "it shares memory with the array given as '" + e.param + "' in this call, " +
                     (exclusive ? "and '" + std::string(param) + "' is written in place"
                                : std::string("which is written in place"));
        } else {
          conflict = exclusive ? "another running call is using its memory"
                               : "another running call is writing its memory in place";
        }
        break;
      }
    }
    if (conflict.empty()) {
      const std::uint64_t id = r.next_id++;
      r.entries.push_back({lo, hi, exclusive, id, param});
      ids_.push_back(id);
      return;
    }
  }
  raise_internal(std::string("array given as '") + param + "' is already borrowed: " + conflict);
}

Reservations::~Reservations() {
  if (ids_.empty()) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::erase_if(r.entries, [&](const Entry& e) {
    for (std::uint64_t id : ids_) {
      if (id == e.id) return true;
    }
    return false;
  });
}

}  // namespace velmora::py
