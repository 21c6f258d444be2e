// Process-wide reservations of array memory.
//
// A call reserves every array it receives for its own duration: read-only arrays in shared
// mode, in-place arrays in exclusive mode.  Two reservations conflict when their memory
// ranges overlap and either is exclusive, whether they belong to one call (the same array, or
// overlapping views of one buffer, given in two roles) or to calls running in different
// threads.  A conflict is refused up front, so a fit never writes memory that another
// parameter or another running fit reads.
#pragma once

#include <cstdint>
#include <vector>

#include "py.hpp"

namespace velmora::py {

class Reservations {
 public:
  Reservations() = default;
  Reservations(const Reservations&) = delete;
  Reservations& operator=(const Reservations&) = delete;
  ~Reservations();

  // Reserves the memory of `array`; raises the internal-error exception naming `param` when
  // it conflicts with a reservation held by this or any other call.
  void reserve(PyArrayObject* array, bool exclusive, const char* param);

 private:
  std::vector<std::uint64_t> ids_;
};

}  // namespace velmora::py
