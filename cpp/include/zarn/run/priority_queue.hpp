// A thread-safe priority queue: the higher priority comes out first, and among
// equal priorities the item put in first.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace zarn {

template <typename T>
class PriorityQueue {
 public:
  void push(T item, int priority) {
    {
      std::lock_guard lock(mutex_);
      heap_.push_back(Entry{priority, next_order_++, std::move(item)});
      std::push_heap(heap_.begin(), heap_.end(), ComesLater{});
    }
    not_empty_.notify_one();
  }

  std::optional<T> try_pop() {
    std::lock_guard lock(mutex_);
    return pop_locked();
  }

  // Waits up to `timeout` for an item.
  std::optional<T> pop_for(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    not_empty_.wait_until(lock, std::chrono::steady_clock::now() + timeout,
                          [this] { return !heap_.empty(); });
    return pop_locked();
  }

  T pop() {
    std::unique_lock lock(mutex_);
    not_empty_.wait(lock, [this] { return !heap_.empty(); });
    return *pop_locked();
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return heap_.size();
  }

  // Calls `visit(item)` for every queued item, in no particular order.
  template <typename Visit>
  void for_each(Visit visit) const {
    std::lock_guard lock(mutex_);
    for (const Entry& entry : heap_) visit(entry.item);
  }

  // Everything still queued, in the order it would come out; the queue is
  // empty afterwards.
  std::vector<T> take_all() {
    std::lock_guard lock(mutex_);
    std::vector<T> items;
    items.reserve(heap_.size());
    while (auto item = pop_locked()) items.push_back(std::move(*item));
    return items;
  }

 private:
  struct Entry {
    int priority;
    std::uint64_t order;
    T item;
  };
  // The heap keeps the entry that must come out first at its front.
  struct ComesLater {
    bool operator()(const Entry& a, const Entry& b) const {
      if (a.priority != b.priority) return a.priority < b.priority;
      return a.order > b.order;
    }
  };

  std::optional<T> pop_locked() {
    if (heap_.empty()) return std::nullopt;
    std::pop_heap(heap_.begin(), heap_.end(), ComesLater{});
    T item = std::move(heap_.back().item);
    heap_.pop_back();
    return item;
  }

  mutable std::mutex mutex_;
  std::condition_variable not_empty_;
  std::vector<Entry> heap_;
  std::uint64_t next_order_ = 0;
};

}  // namespace zarn
