// Deferred releases: references dropped while the thread is outside every
// entry of the module are queued, and released at the next entry, since the
// thread may not be attached to the interpreter then.
#include "binding/deferred_releases.hpp"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "binding/references.hpp"

namespace brooklet::binding {

namespace {

// Entries in progress on this thread. References dropped while it is 0 are
// queued, because the thread may not be attached to the interpreter then.
thread_local long entries_in_progress = 0;

struct DeferredReleases {
    std::mutex lock;
    std::vector<PyObject*> queued;
    std::atomic<bool> pending{false};
};

DeferredReleases& deferred_releases() {
    static DeferredReleases pool;
    return pool;
}

void release_deferred_references() noexcept {
    DeferredReleases& pool = deferred_releases();
    if (!pool.pending.load(std::memory_order_acquire)) {
        return;
    }
    std::vector<PyObject*> to_release;
    {
        std::lock_guard guard(pool.lock);
        to_release.swap(pool.queued);
        pool.pending.store(false, std::memory_order_release);
    }
    for (PyObject* object : to_release) {
        _Py_DecRef(object);
    }
}

}  // namespace

void release_reference(PyObject* object) noexcept {
    if (entries_in_progress > 0) {
        _Py_DecRef(object);
        return;
    }
    DeferredReleases& pool = deferred_releases();
    std::lock_guard guard(pool.lock);
    pool.queued.push_back(object);
    pool.pending.store(true, std::memory_order_release);
}

EntryDepth::EntryDepth() noexcept {
    ++entries_in_progress;
    release_deferred_references();
}

EntryDepth::~EntryDepth() { --entries_in_progress; }

EntriesSetAside::EntriesSetAside() noexcept : saved_entries_(std::exchange(entries_in_progress, 0)) {}

EntriesSetAside::~EntriesSetAside() {
    entries_in_progress = saved_entries_;
    release_deferred_references();
}

}  // namespace brooklet::binding
