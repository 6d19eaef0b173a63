#include "eval/worker_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>

#include "io/text.h"

namespace velk {

struct WorkerPool::Job {
  Job(const std::function<void(std::size_t)>& fn, std::size_t n) : chunk(&fn), count(n), remaining(n) {}

  const std::function<void(std::size_t)>* chunk;
  std::size_t count;
  std::size_t next = 0;  // next unclaimed chunk; guarded by the pool's mutex

  std::mutex done_mutex;
  std::condition_variable done;
  std::size_t remaining;     // chunks not yet finished; guarded by done_mutex
  std::exception_ptr error;  // first failure; guarded by done_mutex
};

namespace {

// The current pool and the lock that guards its creation. The fork handlers
// hold the lock across fork(), so a child never inherits a half-built pool or
// a lock owned by a thread that does not exist there.
std::mutex g_create_mutex;
WorkerPool* g_pool = nullptr;

void before_fork() { g_create_mutex.lock(); }
void after_fork_in_parent() { g_create_mutex.unlock(); }
void after_fork_in_child() {
  // The parent's workers do not exist in the child and its queue and locks
  // may be in any state, so the old pool object is abandoned (not destroyed:
  // destroying joinable threads would abort). The next use builds a new one.
  g_pool = nullptr;
  g_create_mutex.unlock();
}

// Registered while the library loads, before any thread can take the lock: a
// registration made under the lock would leave a window in which a fork
// copies the lock held and the child waits on it forever.
[[maybe_unused]] const int g_fork_handlers = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

WorkerPool& WorkerPool::instance() {
  const std::lock_guard lock(g_create_mutex);
  if (g_pool == nullptr) g_pool = new WorkerPool(pool_config::thread_count());
  return *g_pool;
}

WorkerPool::WorkerPool(std::size_t threads) {
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
      break;  // keep the threads we got; callers also work on their own jobs
    }
  }
}

std::size_t WorkerPool::claim(std::deque<Job*>& queue, Job& job) {
  const std::size_t k = job.next++;
  if (job.next == job.count) queue.erase(std::find(queue.begin(), queue.end(), &job));
  return k;
}

void WorkerPool::execute(Job& job, std::size_t k) noexcept {
  std::exception_ptr error;
  try {
    (*job.chunk)(k);
  } catch (...) {
    error = std::current_exception();
  }
  // Notify while holding the lock: once the owner sees remaining == 0 it may
  // destroy the job, so nothing may touch it after this lock is released.
  const std::lock_guard lock(job.done_mutex);
  if (error && !job.error) job.error = error;
  if (--job.remaining == 0) job.done.notify_all();
}

void WorkerPool::worker_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [this] { return !queue_.empty(); });
    Job& job = *queue_.front();
    const std::size_t k = claim(queue_, job);
    lock.unlock();
    execute(job, k);
    lock.lock();
  }
}

void WorkerPool::run(std::size_t count, const std::function<void(std::size_t)>& chunk) {
  if (count == 0) return;
  if (count == 1 || threads_.empty()) {
    for (std::size_t k = 0; k < count; ++k) chunk(k);
    return;
  }
  Job job(chunk, count);
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(&job);
  }
  work_ready_.notify_all();
  // The caller works on its own job too, so a job always progresses even when
  // every worker is busy with other callers' jobs.
  for (;;) {
    std::size_t k = 0;
    {
      const std::lock_guard lock(mutex_);
      if (job.next >= job.count) break;
      k = claim(queue_, job);
    }
    execute(job, k);
  }
  std::unique_lock lock(job.done_mutex);
  job.done.wait(lock, [&job] { return job.remaining == 0; });
  if (job.error) std::rethrow_exception(job.error);
}

std::size_t chunk_size(std::size_t n, std::size_t threads, std::size_t min_chunk) {
  const std::size_t per_piece = n / (std::max<std::size_t>(threads, 1) * 8);
  return std::max({per_piece, min_chunk, std::size_t{1}});
}

namespace pool_config {
namespace {

std::optional<std::int64_t> parse_signed(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  const auto v = parse_u64(text);
  if (!v || *v > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  return negative ? -static_cast<std::int64_t>(*v) : static_cast<std::int64_t>(*v);
}

std::size_t quota_cpus(std::uint64_t quota, std::uint64_t period) {
  const std::uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
  return static_cast<std::size_t>(std::max<std::uint64_t>(cpus, 1));
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void take_min(std::optional<std::size_t>& limit, std::optional<std::size_t> candidate) {
  if (candidate && (!limit || *candidate < *limit)) limit = candidate;
}

// cgroup v2: the tightest cpu.max from the process's own group up to the root.
std::optional<std::size_t> cgroup_v2_limit(std::string path) {
  std::optional<std::size_t> limit;
  for (;;) {
    if (const auto text = read_file("/sys/fs/cgroup" + path + "/cpu.max")) take_min(limit, parse_cpu_max(*text));
    if (path.empty() || path == "/") break;
    path.erase(path.rfind('/'));
  }
  return limit;
}

std::optional<std::size_t> cgroup_v1_limit(const std::string& path) {
  static constexpr const char* kRoots[] = {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct",
                                           "/sys/fs/cgroup/cpuacct,cpu"};
  for (const char* root : kRoots) {
    // Inside a container the group is often mounted as the root itself.
    for (const std::string& dir : {std::string(root) + path, std::string(root)}) {
      const auto quota = read_file(dir + "/cpu.cfs_quota_us");
      const auto period = read_file(dir + "/cpu.cfs_period_us");
      if (quota && period) return parse_cfs(*quota, *period);
    }
  }
  return std::nullopt;
}

bool lists_cpu_controller(std::string_view controllers) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = controllers.find(',', start);
    if (controllers.substr(start, comma - start) == "cpu") return true;
    if (comma == std::string_view::npos) return false;
    start = comma + 1;
  }
}

std::optional<std::size_t> cgroup_limit() {
  const auto membership = read_file("/proc/self/cgroup");
  if (!membership) return cgroup_v2_limit("");
  std::istringstream lines(*membership);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string_view controllers(line.data() + first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (path == "/") path.clear();
    if (line.starts_with("0::")) return cgroup_v2_limit(path);
    if (lists_cpu_controller(controllers)) return cgroup_v1_limit(path);
  }
  return std::nullopt;
}

std::optional<std::size_t> affinity_cpus() {
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return std::nullopt;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    const int error = errno;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? std::optional<std::size_t>(count) : std::nullopt;
    if (error != EINVAL) return std::nullopt;  // EINVAL: the mask is larger than our set
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  const auto v = parse_u64(text);
  if (!v || *v > SIZE_MAX) return std::nullopt;
  return static_cast<std::size_t>(*v);
}

std::optional<std::size_t> parse_cpu_max(std::string_view text) {
  text = trim(text);
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const auto quota = parse_u64(text.substr(0, space));  // "max" is no limit
  const auto period = parse_u64(trim(text.substr(space + 1)));
  if (!quota || !period || *period == 0) return std::nullopt;
  return quota_cpus(*quota, *period);
}

std::optional<std::size_t> parse_cfs(std::string_view quota, std::string_view period) {
  const auto q = parse_signed(trim(quota));  // -1 is no limit
  const auto p = parse_u64(trim(period));
  if (!q || *q <= 0 || !p || *p == 0) return std::nullopt;
  return quota_cpus(static_cast<std::uint64_t>(*q), *p);
}

std::size_t available_cpus() {
  std::size_t cpus = affinity_cpus().value_or(std::max(1u, std::thread::hardware_concurrency()));
  if (const auto limit = cgroup_limit()) cpus = std::min(cpus, *limit);
  return std::max<std::size_t>(cpus, 1);
}

std::size_t thread_count() {
  // As the rayon convention: a zero in the first variable asks for the
  // default, and an unusable first value falls through to the second.
  if (const auto n = parse_count(std::getenv("RAYON_NUM_THREADS"))) return *n > 0 ? *n : available_cpus();
  if (const auto n = parse_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
  return available_cpus();
}

}  // namespace pool_config
}  // namespace velk
