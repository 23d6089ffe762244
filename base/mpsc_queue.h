// A bounded lock-free queue of small plain values for many producer threads and one consumer,
// allocation-free after construction. Real-time safe on both sides.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace sonarello
{

// Each cell carries a sequence number: a producer claims the cell at its position by moving
// head on (the cell's sequence equal to the position says it is free), writes it, then
// publishes it by storing position + 1 with release. The consumer reads a cell once its
// sequence says published (acquire) and frees it for the next lap with release.
template <typename T> class MpscQueue
{
  public:
    struct Cell
    {
        std::atomic<std::size_t> sequence{0};
        T value{};
    };

    explicit MpscQueue(std::size_t capacity)
        : size_(std::bit_ceil(capacity)), cells_(std::make_unique<Cell[]>(size_))
    {
        for (std::size_t i = 0; i < size_; ++i)
            cells_[i].sequence.store(i, std::memory_order_relaxed);
    }

    // producer threads: a cell to fill, nullptr when the queue is full. Every claimed cell
    // must be published, and the consumer waits for it (so fill it at once).
    Cell* claim() noexcept
    {
        std::size_t position = head_.load(std::memory_order_relaxed);
        while (true)
        {
            Cell& cell = cells_[position & (size_ - 1)];
            const auto ahead = static_cast<std::ptrdiff_t>(
                cell.sequence.load(std::memory_order_acquire) - position);
            if (ahead < 0)
                return nullptr;
            if (ahead > 0)
                position = head_.load(std::memory_order_relaxed);
            else if (head_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
                return &cell;
        }
    }
    void publish(Cell* cell) noexcept
    {
        cell->sequence.store(cell->sequence.load(std::memory_order_relaxed) + 1,
                             std::memory_order_release);
    }
    bool push(const T& value) noexcept
    {
        Cell* cell = claim();
        if (cell == nullptr)
            return false;
        cell->value = value;
        publish(cell);
        return true;
    }

    // consumer thread; false when the oldest cell is not published yet
    bool pop(T& value) noexcept
    {
        Cell& cell = cells_[tail_ & (size_ - 1)];
        if (cell.sequence.load(std::memory_order_acquire) != tail_ + 1)
            return false;
        value = cell.value;
        cell.sequence.store(tail_ + size_, std::memory_order_release);
        ++tail_;
        return true;
    }

  private:
    std::size_t size_;
    std::unique_ptr<Cell[]> cells_;
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::size_t tail_ = 0;
};

} // namespace sonarello
