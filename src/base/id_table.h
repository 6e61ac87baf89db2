// Objects shared by number between threads (memory files, the stand-in's
// network handles): a caller holds the object it found for as long as it uses
// it, even when another thread removes the number meanwhile.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

namespace tobrine::base {

template <typename Id, typename T>
class IdTable {
 public:
  // Numbers go up by `step` from `start` (which is never given) to `last`, then
  // start again, skipping those still in use: a stale number finds nothing for
  // a long time.
  IdTable(Id start, Id step, Id last) : start_(start), step_(step), last_(last), next_(start) {}

  Id Add(std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    do {
      next_ = next_ > last_ - step_ ? start_ + step_ : next_ + step_;
    } while (objects_.count(next_) != 0);
    objects_.emplace(next_, std::move(object));
    return next_;
  }

  std::shared_ptr<T> Find(Id id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(id);
    return it == objects_.end() ? nullptr : it->second;
  }

  std::shared_ptr<T> Remove(Id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(id);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<T> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  const Id start_, step_, last_;
  mutable std::mutex mutex_;
  std::unordered_map<Id, std::shared_ptr<T>> objects_;
  Id next_;
};

}  // namespace tobrine::base
