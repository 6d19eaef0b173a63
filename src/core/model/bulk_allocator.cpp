#include "model/bulk_allocator.h"

#include <pthread.h>

#include <mutex>

#include "model/buddy_arena.h"

namespace velk::detail {

static_assert(kBulkMinBytes == BuddyArena::kMinBytes);

#if defined(__SANITIZE_ADDRESS__)
#define VELK_BULK_FROM_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELK_BULK_FROM_HEAP 1
#endif
#endif

#ifdef VELK_BULK_FROM_HEAP
// Under AddressSanitizer the lists come from the heap it watches, so that a
// write past a list's end is caught.
void* bulk_allocate(std::size_t bytes) { return ::operator new(bytes); }
void bulk_deallocate(void* block, std::size_t) noexcept { ::operator delete(block); }
#else
namespace {

struct SharedArena {
  std::mutex mutex;
  BuddyArena arena;
};

// Never destroyed: lists may be freed while the process exits.
SharedArena& shared_arena() {
  static SharedArena* const shared = [] {
    auto* arena = new SharedArena;
    // A child forked while another thread holds the lock would wait on it
    // for ever: the lock is taken around a fork, as malloc's are.
    pthread_atfork([] { shared_arena().mutex.lock(); }, [] { shared_arena().mutex.unlock(); },
                   [] { shared_arena().mutex.unlock(); });
    return arena;
  }();
  return *shared;
}

// Made while the library loads, before any thread of ours can run: a fork
// that finds another thread inside the first call's initialisation would
// leave the child waiting on its guard for ever (the fork handlers are not
// in place before it ends).
[[maybe_unused]] SharedArena& made_at_load = shared_arena();

}  // namespace

void* bulk_allocate(std::size_t bytes) {
  SharedArena& s = shared_arena();
  std::lock_guard lock(s.mutex);
  return s.arena.allocate(bytes);
}

void bulk_deallocate(void* block, std::size_t bytes) noexcept {
  SharedArena& s = shared_arena();
  std::lock_guard lock(s.mutex);
  s.arena.deallocate(block, bytes);
}
#endif

}  // namespace velk::detail
