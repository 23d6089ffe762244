// A bounded lock-free queue of small plain values, allocation-free after construction.
// One producer thread (or producers serialised by a lock), one consumer: the audio thread.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <vector>

namespace sonarello::sound
{

template <typename T> class SpscQueue
{
  public:
    explicit SpscQueue(std::size_t capacity) : slots_(std::bit_ceil(capacity)) {}

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

    // producer thread: a push would fail
    bool full() const noexcept
    {
        return head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire) ==
               slots_.size();
    }

    // consumer thread; false when the queue is empty
    bool pop(T& value) noexcept
    {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return false;
        value = slots_[tail & (slots_.size() - 1)];
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

  private:
    std::vector<T> slots_;
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

} // namespace sonarello::sound
