// A bounded lock-free queue of small plain values, allocation-free after construction.
// One producer thread (or producers serialised by a lock), one consumer thread.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <vector>

namespace sonarello
{

// The producer publishes a value by storing head with release after writing its slot; the
// consumer frees a slot by storing tail with release after reading it. Each side loads the
// other's index with acquire, so a value is read whole and a slot is reused only once read.
template <typename T> class SpscQueue
{
  public:
    explicit SpscQueue(std::size_t capacity) : slots_(std::bit_ceil(capacity)) {}

    std::size_t capacity() const noexcept { return slots_.size(); }

    // producer thread; false when the queue is full
    bool push(const T& value) noexcept
    {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) == slots_.size())
            return false;
        slots_[head & (slots_.size() - 1)] = value;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // producer thread: how many pushes would succeed now
    std::size_t room() const noexcept
    {
        return slots_.size() -
               (head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire));
    }
    bool full() const noexcept { return room() == 0; }

    // consumer thread: the oldest value, nullptr when the queue is empty; it stays there
    // until pop().
    const T* front() const noexcept
    {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return nullptr;
        return &slots_[tail & (slots_.size() - 1)];
    }

    // consumer thread; false when the queue is empty
    bool pop(T& value) noexcept
    {
        const T* oldest = front();
        if (oldest == nullptr)
            return false;
        value = *oldest;
        tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        return true;
    }

  private:
    std::vector<T> slots_;
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

} // namespace sonarello
