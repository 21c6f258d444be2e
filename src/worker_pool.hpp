// The process-wide pool of worker threads.
//
// One oneTBB task_arena, created on first use and kept until the process ends.  Its size is
// RAYON_NUM_THREADS when that is a positive integer, else RAYON_RS_NUM_CPUS when that is a
// positive integer, else the processors available to the process (the CPU affinity set,
// reduced by a cgroup CPU quota; 1 when unknown).
//
// The loops here are the only way the numerical code uses threads.  They never change a
// result: every task writes memory of its own, and sums are never split across tasks unless
// the caller combines fixed blocks in a fixed order.  Work started from inside a worker runs
// in the same arena (nested parallelism); a thread waiting for its loop only helps with that
// loop's own tasks, so one call never waits for another call's work.
//
// A long computation runs as a Job: on the workers, while the thread that started it waits in
// short slices and may ask it to stop between them (stop.hpp).  Each loop hands the call's
// stop token on to the workers that run its tasks and looks at it before every task.
//
// A process forked from one whose pool exists cannot use that pool: its worker threads were
// not copied, and the thread library's state may be held by a thread that is gone.  In such a
// child the pool has one thread, every loop and every job runs on the calling thread, and the
// results are the same (they never depend on the pool size).
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "stop.hpp"

namespace velmora::pool {

// Number of threads the pool runs (at least 1; 1 in a forked child).
std::size_t size();

// The arena itself; created on first call.  Not to be used in a forked child (see above).
tbb::task_arena& arena();

// True when jobs can run on the workers: false in a process forked from one whose pool
// existed.
bool jobs_run_on_pool();

namespace detail {
bool on_calling_thread_only() noexcept;
}

// While it lives, every loop started on this thread runs on this thread alone.  A call too
// small to be worth waking the workers for runs so, and then looks for signals itself.
class CallingThreadOnly {
 public:
  CallingThreadOnly() noexcept;
  ~CallingThreadOnly();
  CallingThreadOnly(const CallingThreadOnly&) = delete;
  CallingThreadOnly& operator=(const CallingThreadOnly&) = delete;

 private:
  bool previous_;
};

// A computation run on the pool for a thread that waits for it.  The body runs on a worker
// with `token` as its stop token, inside its own task isolation; the starting thread waits
// with wait_for (in slices, looking for reasons to stop in between) and must not leave before
// the body has finished, since the body works on the starter's memory (the destructor waits).
// An exception of the body (Stopped included) is kept for the starter.
class Job {
 public:
  Job(StopToken& token, std::function<void()> body);
  ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Waits at most `slice` for the body to finish; true once it has.
  bool wait_for(std::chrono::milliseconds slice);
  // The body's exception, or null; meaningful once it has finished.
  std::exception_ptr failure() const { return failure_; }

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::exception_ptr failure_;
  std::function<void()> body_;
};

// Pool-size rules, exposed for tests.
namespace detail {
// The value of a pool-size variable when it is a positive integer (decimal digits only).
std::optional<std::size_t> parse_positive(const char* text);
// CPUs granted by a cgroup v2 "cpu.max" line ("max 100000" or "200000 100000").
std::optional<std::size_t> cgroup_v2_limit(std::string_view cpu_max);
// CPUs granted by cgroup v1 quota and period values (quota -1 means none).
std::optional<std::size_t> cgroup_v1_limit(long long quota_us, long long period_us);
// The size the pool takes from these two variables and this processor count.
std::size_t choose_size(const char* num_threads, const char* rs_num_cpus, std::size_t available);
}  // namespace detail

// Runs f(i) for every i in [0, n) on the pool, looking at the call's stop token before each.
// If any call throws, the exception of the lowest index is rethrown on the calling thread
// after all calls have finished (or been skipped, once the call is stopped), so the outcome
// does not depend on scheduling.
template <class F>
void for_each_index(std::size_t n, F&& f) {
  if (n == 0) return;
  if (n == 1 || size() == 1 || detail::on_calling_thread_only()) {
    for (std::size_t i = 0; i < n; ++i) {
      checkpoint();
      f(i);
    }
    return;
  }
  StopToken* const token = current_stop_token();
  std::vector<std::exception_ptr> errors(n);
  arena().execute([&] {
    tbb::this_task_arena::isolate([&] {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                        [&](const tbb::blocked_range<std::size_t>& r) {
                          const StopScope scope(token);
                          for (std::size_t i = r.begin(); i != r.end(); ++i) {
                            try {
                              checkpoint();
                              f(i);
                            } catch (...) {
                              errors[i] = std::current_exception();
                            }
                          }
                        });
    });
  });
  for (const auto& e : errors) {
    if (e) std::rethrow_exception(e);
  }
}

// Fewest element operations (grid points times columns, say) worth handing to the workers:
// below this, waking them costs more than the work itself.
inline constexpr std::size_t kMinParallelWork = 8192;

// for_each_index for loops whose whole cost is about `work` element operations: small loops
// run on the calling thread.
template <class F>
void for_each_index(std::size_t n, std::size_t work, F&& f) {
  if (work < kMinParallelWork) {
    for (std::size_t i = 0; i < n; ++i) {
      checkpoint();
      f(i);
    }
    return;
  }
  for_each_index(n, std::forward<F>(f));
}

// Splits [0, n) into consecutive blocks of `grain` indices and runs f(begin, end) for each
// block on the pool.  Meant for per-point work whose results are independent of the split.
template <class F>
void for_each_block(std::size_t n, std::size_t grain, F&& f) {
  if (n == 0) return;
  if (grain == 0) grain = 1;
  const std::size_t blocks = (n + grain - 1) / grain;
  for_each_index(blocks, [&](std::size_t b) {
    const std::size_t begin = b * grain;
    const std::size_t end = begin + grain < n ? begin + grain : n;
    f(begin, end);
  });
}

// Sums of `Count` series over [0, n) whose value does not depend on the pool size or on the
// scheduling.  The order of the floating-point additions is fixed by n and `grain` alone:
//   - [0, n) is cut into consecutive blocks of `grain` indices (the last one may be shorter);
//   - block(begin, end) returns the sums of its block, each accumulated in index order
//     starting from -0.0 (it runs on some worker, and may write memory of its own indices);
//   - the block sums are combined pairwise over the block indices: the sum over blocks
//     [lo, hi) is sum[lo, mid) + sum[mid, hi) with mid = lo + (hi - lo) / 2, down to single
//     blocks, on the calling thread.
// So one block gives exactly the sequential sum from -0.0, and n = 0 gives -0.0 for every
// series.  A caller keeps `grain` fixed (a constant of its own) to keep its results fixed.
template <std::size_t Count, class Block>
std::array<double, Count> deterministic_block_sums(std::size_t n, std::size_t grain,
                                                   Block&& block) {
  using Sums = std::array<double, Count>;
  Sums empty;
  empty.fill(-0.0);
  if (n == 0) return empty;
  if (grain == 0) grain = 1;
  const std::size_t blocks = (n + grain - 1) / grain;
  std::vector<Sums> partial(blocks, empty);
  for_each_index(blocks, [&](std::size_t b) {
    const std::size_t begin = b * grain;
    const std::size_t end = begin + grain < n ? begin + grain : n;
    partial[b] = block(begin, end);
  });
  auto combine = [&](auto&& self, std::size_t lo, std::size_t hi) -> Sums {
    if (hi - lo == 1) return partial[lo];
    const std::size_t mid = lo + (hi - lo) / 2;
    const Sums left = self(self, lo, mid);
    const Sums right = self(self, mid, hi);
    Sums out;
    for (std::size_t s = 0; s < Count; ++s) out[s] = left[s] + right[s];
    return out;
  };
  return combine(combine, 0, blocks);
}

// deterministic_block_sums with the terms given one index at a time: term(i) returns the i-th
// term of every series (std::array<double, Count>) and may also write memory of index i.
template <std::size_t Count, class Term>
std::array<double, Count> deterministic_sums(std::size_t n, std::size_t grain, Term&& term) {
  return deterministic_block_sums<Count>(n, grain, [&](std::size_t begin, std::size_t end) {
    std::array<double, Count> acc;
    acc.fill(-0.0);
    for (std::size_t i = begin; i < end; ++i) {
      const std::array<double, Count> t = term(i);
      for (std::size_t s = 0; s < Count; ++s) acc[s] += t[s];
    }
    return acc;
  });
}

}  // namespace velmora::pool
