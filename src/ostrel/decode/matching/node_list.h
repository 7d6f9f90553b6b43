#pragma once
// The nodes a region's own growth claimed, kept in the region itself while there are few. Most
// regions of a sparse syndrome never claim a node past their detection event, and a sliding
// window reads and rewrites every carried region's nodes: a list on the heap made each of those
// visits a cache miss of its own. Past kInPlace nodes the list moves to the heap and keeps that
// room when cleared, so nothing is allocated once warm.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace ostrel::decode::matching {

class NodeList {
 public:
  static constexpr uint32_t kInPlace = 4;

  NodeList() = default;
  NodeList(const NodeList& other) { assign(other.begin(), other.end()); }
  NodeList(NodeList&& other) noexcept { swap(other); }
  NodeList& operator=(const NodeList& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  NodeList& operator=(NodeList&& other) noexcept {
    if (this != &other) {
      clear();
      swap(other);
    }
    return *this;
  }
  ~NodeList() = default;

  uint32_t* begin() { return data(); }
  uint32_t* end() { return data() + size_; }
  const uint32_t* begin() const { return data(); }
  const uint32_t* end() const { return data() + size_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint32_t& operator[](size_t i) { return data()[i]; }
  uint32_t operator[](size_t i) const { return data()[i]; }
  uint32_t back() const { return data()[size_ - 1]; }

  void push_back(uint32_t x) {
    if (size_ == capacity_) reserve(2 * size_t{capacity_});
    data()[size_++] = x;
  }
  void pop_back() { --size_; }
  void clear() { size_ = 0; }
  void assign(const uint32_t* first, const uint32_t* last) {
    size_ = 0;
    reserve(static_cast<size_t>(last - first));
    std::copy(first, last, data());
    size_ = static_cast<uint32_t>(last - first);
  }
  // Exchanges contents and room: the heap parts change hands, nothing is allocated.
  void swap(NodeList& other) noexcept {
    std::swap(heap_, other.heap_);
    std::swap(in_place_, other.in_place_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  uint32_t* data() { return heap_ ? heap_.get() : in_place_; }
  const uint32_t* data() const { return heap_ ? heap_.get() : in_place_; }
  void reserve(size_t n) {
    if (n <= capacity_) return;
    auto room = std::make_unique_for_overwrite<uint32_t[]>(n);
    std::copy(begin(), end(), room.get());
    heap_ = std::move(room);
    capacity_ = static_cast<uint32_t>(n);
  }

  std::unique_ptr<uint32_t[]> heap_;
  uint32_t in_place_[kInPlace] = {};
  uint32_t size_ = 0;
  uint32_t capacity_ = kInPlace;
};

}  // namespace ostrel::decode::matching
