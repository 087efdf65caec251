// SPDX-License-Identifier: MIT
// A doubly linked list threaded through its elements: linking and unlinking allocate nothing and
// cost a few pointer writes. An element derives from ListHook<Tag> once per list it can be on; its
// links are private to the list, and an element leaves its list by itself when it is destroyed, so
// a list never holds a deleted element.
#pragma once

#include <cstddef>

namespace net {

template <class T, class Tag>
class IntrusiveList;

template <class Tag>
class ListHook {
 public:
  ListHook() = default;
  ~ListHook() { unlink(); }
  ListHook(const ListHook&) = delete;
  ListHook& operator=(const ListHook&) = delete;

  bool linked() const { return next_ != nullptr; }

 private:
  template <class T, class U>
  friend class IntrusiveList;

  void unlink() {
    if (!next_) return;
    prev_->next_ = next_;
    next_->prev_ = prev_;
    prev_ = next_ = nullptr;
  }

  // Circular through the list's own head; both null while on no list.
  ListHook* prev_ = nullptr;
  ListHook* next_ = nullptr;
};

template <class T, class Tag>
class IntrusiveList {
  using Hook = ListHook<Tag>;

 public:
  IntrusiveList() { head_.prev_ = head_.next_ = &head_; }
  ~IntrusiveList() { clear(); }
  IntrusiveList(const IntrusiveList&) = delete;
  IntrusiveList& operator=(const IntrusiveList&) = delete;

  bool empty() const { return head_.next_ == &head_; }
  T* front() const { return empty() ? nullptr : element(head_.next_); }
  // The elements on the list, counted up to `upTo` (a walk: the hooks leave without the list).
  std::size_t count(std::size_t upTo) const {
    std::size_t n = 0;
    for (const Hook* hook = head_.next_; hook != &head_ && n < upTo; hook = hook->next_) ++n;
    return n;
  }
  // The element after `item`, or nullptr at the end.
  T* next(T* item) const {
    Hook* hook = static_cast<Hook*>(item)->next_;
    return hook == &head_ ? nullptr : element(hook);
  }

  // An element already on a list of this tag is moved.
  void pushFront(T* item) { insertBefore(head_.next_, item); }
  void pushBack(T* item) { insertBefore(&head_, item); }
  static void remove(T* item) { static_cast<Hook*>(item)->unlink(); }
  T* popFront() {
    T* item = front();
    if (item) remove(item);
    return item;
  }
  // Moves every element of `other` to the end of this list, in order.
  void takeAll(IntrusiveList& other) {
    if (other.empty()) return;
    Hook* first = other.head_.next_;
    Hook* last = other.head_.prev_;
    first->prev_ = head_.prev_;
    head_.prev_->next_ = first;
    last->next_ = &head_;
    head_.prev_ = last;
    other.head_.prev_ = other.head_.next_ = &other.head_;
  }
  void clear() {
    while (popFront()) {
    }
  }

 private:
  static T* element(Hook* hook) { return static_cast<T*>(hook); }
  void insertBefore(Hook* position, T* item) {
    Hook* hook = static_cast<Hook*>(item);
    hook->unlink();
    hook->prev_ = position->prev_;
    hook->next_ = position;
    position->prev_->next_ = hook;
    position->prev_ = hook;
  }

  // The sentinel: its links are the list's first and last elements.
  Hook head_;
};

}  // namespace net
