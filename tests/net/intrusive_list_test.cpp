// SPDX-License-Identifier: MIT
// The loop's allocation-free list: order kept through pushes, moves and splices, and an element
// that is destroyed leaves whatever list it is on (the loop relies on it for queued connections).
#include "net/intrusive_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct TagA;
struct TagB;
struct Item : net::ListHook<TagA>, net::ListHook<TagB> {
  explicit Item(int v) : value(v) {}
  int value;
};
using ListA = net::IntrusiveList<Item, TagA>;
using ListB = net::IntrusiveList<Item, TagB>;

template <class List>
std::vector<int> values(const List& list) {
  std::vector<int> out;
  for (Item* i = list.front(); i; i = list.next(i)) out.push_back(i->value);
  return out;
}

TEST(IntrusiveList, OrderThroughPushRemoveAndSplice) {
  Item one(1), two(2), three(3), four(4);
  ListA a;
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(a.front(), nullptr);
  a.pushBack(&two);
  a.pushBack(&three);
  a.pushFront(&one);
  EXPECT_EQ(values(a), (std::vector<int>{1, 2, 3}));

  ListA::remove(&two);
  EXPECT_FALSE(static_cast<net::ListHook<TagA>&>(two).linked());
  EXPECT_EQ(values(a), (std::vector<int>{1, 3}));
  ListA::remove(&two);  // not on a list: nothing happens
  EXPECT_EQ(values(a), (std::vector<int>{1, 3}));

  ListA other;
  other.pushBack(&four);
  other.pushBack(&two);
  a.takeAll(other);
  EXPECT_TRUE(other.empty());
  EXPECT_EQ(values(a), (std::vector<int>{1, 3, 4, 2}));
  a.takeAll(other);  // an empty list adds nothing
  EXPECT_EQ(values(a), (std::vector<int>{1, 3, 4, 2}));
  other.takeAll(a);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(values(other), (std::vector<int>{1, 3, 4, 2}));

  // Pushing an element that is already on a list of the same tag moves it.
  a.pushBack(&three);
  EXPECT_EQ(values(a), (std::vector<int>{3}));
  EXPECT_EQ(values(other), (std::vector<int>{1, 4, 2}));

  EXPECT_EQ(other.popFront(), &one);
  EXPECT_EQ(values(other), (std::vector<int>{4, 2}));
  other.clear();
  a.clear();
  EXPECT_TRUE(other.empty());
  EXPECT_FALSE(static_cast<net::ListHook<TagA>&>(four).linked());
}

TEST(IntrusiveList, DestroyedElementLeavesEveryList) {
  ListA all;
  ListB queue;
  auto first = std::make_unique<Item>(1);
  auto middle = std::make_unique<Item>(2);
  auto last = std::make_unique<Item>(3);
  for (Item* i : {first.get(), middle.get(), last.get()}) {
    all.pushBack(i);
    queue.pushBack(i);
  }
  middle.reset();
  EXPECT_EQ(values(all), (std::vector<int>{1, 3}));
  EXPECT_EQ(values(queue), (std::vector<int>{1, 3}));
  last.reset();
  first.reset();
  EXPECT_TRUE(all.empty());
  EXPECT_TRUE(queue.empty());
}

}  // namespace
