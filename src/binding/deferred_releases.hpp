// Deferred releases: whether the thread is inside an entry of the module,
// which decides whether a dropped reference is released at once or queued
// until the next entry.
#pragma once

namespace brooklet::binding {

// Marks the thread as inside the module for its lifetime and releases the
// references queued while no thread was inside.
class EntryDepth {
public:
    EntryDepth() noexcept;
    ~EntryDepth();
    EntryDepth(const EntryDepth&) = delete;
    EntryDepth& operator=(const EntryDepth&) = delete;
};

// Marks the thread as outside the module for its lifetime, while it runs
// Python code with the lock handed over; afterwards restores the depth and
// releases the references queued meanwhile.
class EntriesSetAside {
public:
    EntriesSetAside() noexcept;
    ~EntriesSetAside();
    EntriesSetAside(const EntriesSetAside&) = delete;
    EntriesSetAside& operator=(const EntriesSetAside&) = delete;

private:
    long saved_entries_;
};

}  // namespace brooklet::binding
