// Batcher: many threads' writes through one transaction, so that one commit (one fsync) makes a
// whole group of them durable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace QxCmServer {

// Batcher<Item, Result> hands items to run in groups. Submit blocks until its item has been run
// and returns its result, or throws what run threw for the group. The first caller that finds no
// group running becomes the runner: it runs every item waiting (up to maxGroup at a time) until
// its own is done, then hands the role on. Items that arrive while a group runs wait for the
// next group, so under load each commit carries many items, and a lone caller is run at once.
// With a gathering time, a runner whose last group held more than one item (so others are
// likely on their way) first waits up to that long for a full group.
// run gets the items in the order they were submitted and must return one result per item.
template <class Item, class Result>
class Batcher {
 public:
  using Run = std::function<std::vector<Result>(std::vector<Item>&)>;

  explicit Batcher(Run run, size_t maxGroup = 64,
                   std::chrono::microseconds gather = std::chrono::microseconds::zero())
      : m_run(std::move(run)), m_maxGroup(maxGroup), m_gather(gather) {}
  Batcher(const Batcher&) = delete;
  Batcher& operator=(const Batcher&) = delete;

  Result Submit(Item item) {
    Slot slot{std::move(item), std::nullopt, nullptr, false, {}};
    std::unique_lock lock(m_mutex);
    m_waiting.push_back(&slot);
    if (m_gathering && m_waiting.size() >= m_maxGroup) m_full.notify_one();
    while (!slot.done) {
      if (m_running) {
        slot.wake.wait(lock);
        continue;
      }
      m_running = true;
      while (!slot.done) RunGroup(lock);
      m_running = false;
      // The oldest waiter takes over the items still waiting.
      if (!m_waiting.empty()) m_waiting.front()->wake.notify_one();
    }
    if (slot.error) std::rethrow_exception(slot.error);
    return std::move(*slot.result);
  }

 private:
  struct Slot {
    Item item;
    std::optional<Result> result;
    std::exception_ptr error;
    bool done = false;
    std::condition_variable wake;  // each caller is woken alone: when done, or to run next
  };

  // RunGroup runs the oldest waiting items with the lock released and marks them done.
  void RunGroup(std::unique_lock<std::mutex>& lock) {
    if (m_lastGroup > 1 && m_gather.count() > 0 && m_waiting.size() < m_maxGroup) {
      m_gathering = true;
      m_full.wait_for(lock, m_gather, [this] { return m_waiting.size() >= m_maxGroup; });
      m_gathering = false;
    }
    std::vector<Slot*> group;
    while (!m_waiting.empty() && group.size() < m_maxGroup) {
      group.push_back(m_waiting.front());
      m_waiting.pop_front();
    }
    m_lastGroup = group.size();
    lock.unlock();
    std::vector<Item> items;
    items.reserve(group.size());
    for (Slot* slot : group) items.push_back(std::move(slot->item));
    try {
      std::vector<Result> results = m_run(items);
      if (results.size() != group.size()) throw std::logic_error("a batch lost results");
      for (size_t i = 0; i < group.size(); ++i) group[i]->result = std::move(results[i]);
    } catch (...) {
      for (Slot* slot : group) slot->error = std::current_exception();
    }
    lock.lock();
    for (Slot* slot : group) {
      slot->done = true;
      slot->wake.notify_one();  // under the lock: the slot lives until its caller sees done
    }
  }

  Run m_run;
  size_t m_maxGroup;
  std::chrono::microseconds m_gather;
  std::mutex m_mutex;
  std::condition_variable m_full;  // the runner gathering a group hears that it is full
  std::deque<Slot*> m_waiting;
  bool m_running = false;
  bool m_gathering = false;
  size_t m_lastGroup = 0;
};

}  // namespace QxCmServer
