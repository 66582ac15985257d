#include "app/pending.h"

#include <gtest/gtest.h>

#include <vector>

namespace app {
namespace {

std::vector<int> Forward(const TPendingChatMsgList& list) {
  std::vector<int> ids;
  for (TPendingChatMsg* r = list.Head(); r != nullptr; r = r->Next) ids.push_back(r->ChatMsgID);
  return ids;
}
std::vector<int> Backward(const TPendingChatMsgList& list) {
  std::vector<int> ids;
  for (TPendingChatMsg* r = list.Tail(); r != nullptr; r = r->Prev) ids.push_back(r->ChatMsgID);
  return ids;
}

TEST(PendingChatMessages, FindOrCreateKeepsOneRecordPerIdInCreationOrder) {
  TPendingChatMsgList list;
  TPendingChatMsg* a = list.FindOrCreate(5);
  TPendingChatMsg* b = list.FindOrCreate(0);
  EXPECT_EQ(list.FindOrCreate(5), a);
  list.FindOrCreate(-3);
  EXPECT_EQ(Forward(list), (std::vector<int>{5, 0, -3}));
  EXPECT_EQ(Backward(list), (std::vector<int>{-3, 0, 5}));
  EXPECT_TRUE(b->FromHandle.empty() && b->Body.empty());
  EXPECT_FALSE(b->Complete());
  b->FromHandle = "bob";
  b->Body = "x";
  EXPECT_TRUE(b->Complete());
}

TEST(PendingChatMessages, RemovingFromAnyPlaceKeepsBothDirectionsLinked) {
  TPendingChatMsgList list;
  for (int id = 1; id <= 4; ++id) list.FindOrCreate(id);
  list.Remove(list.FindOrCreate(2));  // middle
  EXPECT_EQ(Forward(list), (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(Backward(list), (std::vector<int>{4, 3, 1}));
  list.Remove(list.Head());
  list.Remove(list.Tail());
  EXPECT_EQ(Forward(list), (std::vector<int>{3}));
  EXPECT_EQ(list.Head(), list.Tail());
  list.Remove(list.Head());
  EXPECT_EQ(list.Head(), nullptr);
  EXPECT_EQ(list.Tail(), nullptr);
  list.FindOrCreate(9);  // usable again
  EXPECT_EQ(Forward(list), (std::vector<int>{9}));
  list.FindOrCreate(10);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
}

}  // namespace
}  // namespace app
