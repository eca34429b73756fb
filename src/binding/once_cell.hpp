// A process-wide cell that is set at most once and never emptied.
//
// Threads that find it empty may each make a value; the first store wins and
// every caller gets the stored value. A losing value held by an owner (an
// `OwnedRef`) is released by that owner; a plain pointer is simply dropped.
#pragma once

#include <atomic>
#include <type_traits>
#include <utility>

namespace brooklet::binding {

template <class T>
class OnceCell {
public:
    constexpr OnceCell() noexcept = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;
    OnceCell(OnceCell&&) = delete;
    OnceCell& operator=(OnceCell&&) = delete;
    ~OnceCell() = default;  // what the cell holds is kept until the process ends

    // The stored value, or null while the cell is empty.
    [[nodiscard]] T* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Stores `made` (a plain pointer, or an owner of one) unless a value is
    // stored already; returns the stored value.
    template <class Made>
    T* set(Made made) noexcept {
        T* const candidate = pointer_of(made);
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel)) {
            if constexpr (!std::is_pointer_v<Made>) {
                (void)made.release();  // the cell keeps this one
            }
            return candidate;
        }
        return expected;  // `made` lost; its owner releases it
    }

    // The stored value, or the one `make()` gives, stored. A `make()` that gives
    // nothing stores nothing and null is returned, so a later call tries again.
    template <class Make>
    T* get_or_init(Make&& make) {
        if (T* stored = get()) {
            return stored;
        }
        auto made = std::forward<Make>(make)();
        if (!made) {
            return nullptr;
        }
        return set(std::move(made));
    }

private:
    template <class Made>
    static T* pointer_of(const Made& made) noexcept {
        if constexpr (std::is_pointer_v<Made>) {
            return made;
        } else {
            return made.get();
        }
    }

    std::atomic<T*> value_{nullptr};
};

}  // namespace brooklet::binding
