// An ordered list that owns its items: the base of the service's lists.
// Items are appended in order, addressed by a zero-based index, and freed in
// index order by Clear() and by the destructor. No lock: a list is built by
// one thread and only read afterwards.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

template <typename T>
class KxObjectList {
 public:
  KxObjectList() = default;
  KxObjectList(const KxObjectList&) = delete;
  KxObjectList& operator=(const KxObjectList&) = delete;
  virtual ~KxObjectList() { Clear(); }

  int Count() const { return static_cast<int>(items_.size()); }
  // Throws std::out_of_range outside 0 .. Count()-1.
  T* Items(int index) const {
    if (index < 0 || index >= Count())
      throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    return items_[static_cast<size_t>(index)];
  }
  // Takes ownership of `item` and returns its index.
  int Add(T* item) {
    items_.reserve(items_.size() + 1);  // nothing leaks if growing fails
    items_.push_back(item);
    return Count() - 1;
  }
  // Frees every item in index order (skipping empty slots), then empties the list.
  void Clear() {
    for (T* item : items_) delete item;
    items_.clear();
  }

 private:
  std::vector<T*> items_;
};
