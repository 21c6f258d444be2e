#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include <tbb/global_control.h>

namespace velmora::pool {
namespace detail {

std::optional<std::size_t> parse_positive(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::size_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    const std::size_t digit = static_cast<std::size_t>(*p - '0');
    if (value > (static_cast<std::size_t>(-1) - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0) return std::nullopt;
  return value;
}

std::optional<std::size_t> cgroup_v2_limit(std::string_view cpu_max) {
  std::istringstream in{std::string(cpu_max)};
  std::string quota;
  long long period = 0;
  if (!(in >> quota >> period) || quota == "max" || period <= 0) return std::nullopt;
  long long q = 0;
  try {
    q = std::stoll(quota);
  } catch (...) {
    return std::nullopt;
  }
  return cgroup_v1_limit(q, period);
}

std::optional<std::size_t> cgroup_v1_limit(long long quota_us, long long period_us) {
  if (quota_us <= 0 || period_us <= 0) return std::nullopt;
  return std::max<std::size_t>(1, static_cast<std::size_t>(quota_us / period_us));
}

std::size_t choose_size(const char* num_threads, const char* rs_num_cpus, std::size_t available) {
  if (auto n = parse_positive(num_threads)) return *n;
  if (auto n = parse_positive(rs_num_cpus)) return *n;
  return std::max<std::size_t>(1, available);
}

}  // namespace detail

namespace {

std::optional<std::string> read_first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

void keep_smaller(std::optional<std::size_t>& best, std::optional<std::size_t> found) {
  if (found && (!best || *found < *best)) best = found;
}

// The smallest CPU quota over this process's cgroup and its ancestors, for cgroup v2 and v1.
std::optional<std::size_t> cgroup_cpu_limit() {
  std::ifstream in("/proc/self/cgroup");
  std::optional<std::size_t> best;
  std::string line;
  while (std::getline(in, line)) {
    const auto first = line.find(':');
    const auto second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (controllers.empty()) {  // cgroup v2 unified hierarchy
      const std::string root = "/sys/fs/cgroup";
      for (;;) {
        if (auto text = read_first_line(root + path + "/cpu.max")) {
          keep_smaller(best, detail::cgroup_v2_limit(*text));
        }
        if (path.empty() || path == "/") break;
        path = path.substr(0, path.rfind('/'));
      }
      continue;
    }
    const std::string list = "," + controllers + ",";
    if (list.find(",cpu,") == std::string::npos) continue;
    for (const char* mount : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
      for (const std::string& dir : {std::string(mount) + path, std::string(mount)}) {
        auto quota = read_first_line(dir + "/cpu.cfs_quota_us");
        auto period = read_first_line(dir + "/cpu.cfs_period_us");
        if (!quota || !period) continue;
        try {
          keep_smaller(best, detail::cgroup_v1_limit(std::stoll(*quota), std::stoll(*period)));
        } catch (...) {
        }
      }
    }
  }
  return best;
}

std::size_t available_processors() {
  std::size_t count = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    count = static_cast<std::size_t>(CPU_COUNT(&set));
  } else {
    count = std::thread::hardware_concurrency();
  }
  if (count == 0) return 1;
  if (auto limit = cgroup_cpu_limit()) count = std::min(count, *limit);
  return count;
}

struct Pool {
  std::size_t threads;
  tbb::global_control* control;
  tbb::task_arena* arena;
};

// Set in a child process forked after the pool was created; that child never touches the
// pool's threads or the thread library again.
std::atomic<bool> forked_child{false};

void mark_forked_child() { forked_child.store(true, std::memory_order_relaxed); }

// Created once and never destroyed: worker threads may still be parked when the interpreter
// shuts down, and tearing the arena down from a static destructor would race with them.
//
// The arena has a slot for each of the n threads and none kept for outside threads: a long
// computation runs as a job on n workers while the thread that started it waits, so the
// thread library is allowed n workers besides that thread.
const Pool& the_pool() {
  static const Pool pool = [] {
    const std::size_t n = detail::choose_size(std::getenv("RAYON_NUM_THREADS"),
                                              std::getenv("RAYON_RS_NUM_CPUS"),
                                              available_processors());
    auto* control =
        new tbb::global_control(tbb::global_control::max_allowed_parallelism, n + 1);
    auto* arena = new tbb::task_arena(static_cast<int>(n), 0);
    arena->initialize();
    pthread_atfork(nullptr, nullptr, mark_forked_child);
    return Pool{n, control, arena};
  }();
  return pool;
}

}  // namespace

std::size_t size() {
  const std::size_t n = the_pool().threads;
  return forked_child.load(std::memory_order_relaxed) ? 1 : n;
}

tbb::task_arena& arena() { return *the_pool().arena; }

bool jobs_run_on_pool() {
  the_pool();
  return !forked_child.load(std::memory_order_relaxed);
}

namespace {
thread_local bool calling_thread_only = false;
}  // namespace

bool detail::on_calling_thread_only() noexcept { return calling_thread_only; }

CallingThreadOnly::CallingThreadOnly() noexcept
    : previous_(std::exchange(calling_thread_only, true)) {}

CallingThreadOnly::~CallingThreadOnly() { calling_thread_only = previous_; }

Job::Job(StopToken& token, std::function<void()> body) : body_(std::move(body)) {
  arena().enqueue([this, &token] {
    std::exception_ptr failure;
    {
      const StopScope scope(&token);
      try {
        tbb::this_task_arena::isolate([this] { body_(); });
      } catch (...) {
        failure = std::current_exception();
      }
    }
    // Notified under the lock: the starter can only see done_ and leave (destroying this Job)
    // once the lock is released, after which the worker no longer touches the Job.
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = failure;
    done_ = true;
    finished_.notify_all();
  });
}

Job::~Job() {
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return done_; });
}

bool Job::wait_for(std::chrono::milliseconds slice) {
  std::unique_lock<std::mutex> lock(mutex_);
  return finished_.wait_for(lock, slice, [this] { return done_; });
}

}  // namespace velmora::pool
