// Long computations that Ctrl-C can stop.
//
// A fit runs as a job on the worker pool while the calling thread waits for it in slices of
// kPollSlice.  Between slices the calling thread (never a worker) runs the interpreter's
// pending signal handlers (PyErr_CheckSignals, which does so on the main thread only).  When
// a handler raises, normally KeyboardInterrupt on Ctrl-C, the job is asked to stop, unwinds at
// its next checkpoint (stop.hpp), and the call raises the handler's exception once the job has
// finished.  Nothing has been written to the caller's arrays by then (they are written only
// after a fit has succeeded), and the call's array reservations are released on the way out
// as for every other failure.
//
// A call too small to be worth waking the workers for (fewer than kCallingThreadWork grid
// points times columns), a call from a thread that asked for it (`_on_calling_thread`), and
// every call in a process forked from one whose pool existed (worker_pool.hpp) runs on the
// calling thread alone instead, which then looks for signals at its own checkpoints.  Where a
// fit runs never changes its result.
//
// The mixture fits wait without the interpreter lock, taking it back only to look for signals;
// the single-peak fits keep the lock throughout, as they always have.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "py.hpp"
#include "stop.hpp"
#include "worker_pool.hpp"

namespace velmora::py {

// How often the calling thread looks for signals: well inside the half second within which a
// fit must answer Ctrl-C, and rare enough to cost nothing measurable.
inline constexpr std::chrono::milliseconds kPollSlice{20};

// Below this many grid points times columns a fit runs on the calling thread: handing it to a
// worker and waking the caller again costs more than the parallel work saves.
inline constexpr std::size_t kCallingThreadWork = 1024;

enum class InterpreterLock { held, released };

// Whether the calling Python thread asked for its fits to run on itself alone
// (`_on_calling_thread`): a caller that spreads many small fits over threads of its own wants
// each fit to stay on the thread that runs it.
bool& on_calling_thread_requested() noexcept;

// The calling Python thread's stop check (`_stop_check`), or null: a function its fits call
// whenever they look for signals; when it raises, the fit stops with its exception.  Runs
// `PyErr_CheckSignals` and then the check (the lock is held); returns -1 when either raised.
int check_signals_and_stop() noexcept;

// The Python error a signal handler raised, kept while the lock is released.
class PendingError {
 public:
  // Fetches the current error indicator (the lock is held).
  void fetch() { PyErr_Fetch(&type_, &value_, &traceback_); }
  // Restores it (the lock is held) and throws PythonError.
  [[noreturn]] void raise() {
    PyErr_Restore(type_, value_, traceback_);
    throw PythonError{};
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Runs `body` (a computation of the core that touches no Python object) so that Ctrl-C stops
// it, and returns its result.  `lock` says whether the interpreter lock stays held meanwhile;
// `work` is the size of the problem in grid points times columns.  Throws PythonError with a
// signal handler's exception, or rethrows the body's own exception.
template <class Body>
auto run_interruptibly(InterpreterLock lock, std::size_t work, Body&& body)
    -> std::invoke_result_t<Body&> {
  using Result = std::invoke_result_t<Body&>;
  constexpr bool kVoid = std::is_void_v<Result>;
  std::optional<std::conditional_t<kVoid, bool, Result>> result;
  auto run = [&] {
    if constexpr (kVoid) {
      body();
      result.emplace(true);
    } else {
      result.emplace(body());
    }
  };
  const bool held = lock == InterpreterLock::held;
  PendingError signal_error;
  bool signalled = false;
  std::exception_ptr failure;

  if (work >= kCallingThreadWork && !on_calling_thread_requested() &&
      pool::jobs_run_on_pool()) {
    StopToken token;
    PyThreadState* saved = held ? nullptr : PyEval_SaveThread();
    {
      pool::Job job(token, run);
      while (!job.wait_for(kPollSlice)) {
        if (signalled) continue;
        if (!held) PyEval_RestoreThread(saved);
        if (check_signals_and_stop() < 0) {
          signalled = true;
          signal_error.fetch();
          token.request_stop();
        }
        if (!held) saved = PyEval_SaveThread();
      }
      failure = job.failure();
    }
    if (!held) PyEval_RestoreThread(saved);
  } else {
    // On the calling thread alone: its checkpoints look for signals, taking the lock back for
    // it (at most once a slice) when the lock was released.
    PyThreadState* saved = nullptr;
    auto poll = [&] {
      if (!held) PyEval_RestoreThread(saved);
      if (check_signals_and_stop() < 0) {
        signalled = true;
        signal_error.fetch();
      }
      if (!held) saved = PyEval_SaveThread();
      return signalled;
    };
    const StopToken::Clock::duration every =
        held ? StopToken::Clock::duration::zero() : StopToken::Clock::duration(kPollSlice);
    StopToken token(poll, every);
    if (!held) saved = PyEval_SaveThread();
    {
      const pool::CallingThreadOnly here;
      const StopScope scope(&token);
      try {
        run();
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (!held) PyEval_RestoreThread(saved);
  }

  if (signalled) signal_error.raise();
  if (failure) std::rethrow_exception(failure);
  if constexpr (!kVoid) return std::move(*result);
}

}  // namespace velmora::py
