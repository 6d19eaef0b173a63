// The process-wide pool of worker threads behind the parallel searches.
//
// Created on first use and never torn down. Any number of caller threads may
// submit jobs at once: a job is a count of chunks; workers and the submitting
// thread claim chunks from a shared queue, and the caller blocks (without
// spinning) until every chunk of its own job has finished. Worker threads run
// only the chunk functions they are given and never touch Python.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace velk {

class WorkerPool {
 public:
  // The pool of this process, created on first call. After fork() the child
  // gets a fresh pool on its first call (the parent's threads do not exist
  // there).
  static WorkerPool& instance();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Number of worker threads (the calling thread of run() helps as well).
  std::size_t size() const noexcept { return threads_.size(); }

  // Calls chunk(k) once for every k in [0, count), spread over the workers
  // and the calling thread, and returns when all calls have returned. The
  // first exception thrown by a chunk is rethrown here, after the rest of the
  // job has finished.
  void run(std::size_t count, const std::function<void(std::size_t)>& chunk);

 private:
  struct Job;

  explicit WorkerPool(std::size_t threads);
  ~WorkerPool() = delete;  // never torn down

  void worker_loop();
  // Claims the next chunk of the front job; the caller holds mutex_.
  static std::size_t claim(std::deque<Job*>& queue, Job& job);
  static void execute(Job& job, std::size_t k) noexcept;

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<Job*> queue_;  // jobs with unclaimed chunks, oldest first
  std::vector<std::thread> threads_;
};

// Pool sizing, exposed for testing.
namespace pool_config {

// Thread count from an environment text: a positive decimal number (one
// optional leading '+', ASCII digits only, no overflow); none otherwise. A
// zero is reported as 0 so that the caller can tell it apart.
std::optional<std::size_t> parse_count(const char* text);
// CPU limit from the text of a cgroup v2 cpu.max file ("max 100000" or
// "200000 100000"): quota / period rounded up, at least 1; none for no limit
// or unreadable text.
std::optional<std::size_t> parse_cpu_max(std::string_view text);
// CPU limit from cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us texts; none
// when the quota is -1 (no limit) or unreadable.
std::optional<std::size_t> parse_cfs(std::string_view quota, std::string_view period);
// The thread count used for a new pool: RAYON_NUM_THREADS, then
// RAYON_RS_NUM_CPUS, else the CPUs available to the process.
std::size_t thread_count();
// CPUs in the affinity mask, limited by the control-group quota; at least 1.
std::size_t available_cpus();

}  // namespace pool_config

// Splits [0, n) into chunks of at least `min_chunk` items, about eight per
// thread of the pool so that uneven chunks balance out.
std::size_t chunk_size(std::size_t n, std::size_t threads, std::size_t min_chunk);

}  // namespace velk
