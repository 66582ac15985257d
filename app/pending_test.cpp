#include "app/pending.h"

#include <gtest/gtest.h>

#include <vector>

namespace app {
namespace {

std::vector<int> Ids(const TPendingChatMsgList& list) {
  std::vector<int> ids;
  for (const TPendingChatMsg& r : list.Records()) ids.push_back(r.ChatMsgID);
  return ids;
}

TEST(PendingChatMessages, FindOrCreateKeepsOneRecordPerIdInCreationOrder) {
  TPendingChatMsgList list;
  TPendingChatMsg* a = list.FindOrCreate(5);
  TPendingChatMsg* b = list.FindOrCreate(0);
  EXPECT_EQ(list.FindOrCreate(5), a);
  list.FindOrCreate(-3);
  EXPECT_EQ(Ids(list), (std::vector<int>{5, 0, -3}));
  EXPECT_TRUE(b->FromHandle.empty() && b->Body.empty());
  EXPECT_FALSE(b->Complete());
  b->FromHandle = "bob";
  b->Body = "x";
  EXPECT_TRUE(b->Complete());
}

TEST(PendingChatMessages, RecordsStayPutWhileOthersComeAndGo) {
  TPendingChatMsgList list;
  for (int id = 1; id <= 4; ++id) list.FindOrCreate(id);
  TPendingChatMsg* three = list.FindOrCreate(3);
  three->Body = "kept";
  list.Remove(list.FindOrCreate(2));  // middle
  list.Remove(list.FindOrCreate(1));  // oldest
  for (int id = 5; id <= 40; ++id) list.FindOrCreate(id);
  list.Remove(list.FindOrCreate(40));  // newest
  EXPECT_EQ(three->Body, "kept");
  EXPECT_EQ(list.FindOrCreate(3), three);
  EXPECT_EQ(Ids(list).front(), 3);
  EXPECT_EQ(Ids(list).back(), 39);
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  list.FindOrCreate(9);  // usable again
  EXPECT_EQ(Ids(list), (std::vector<int>{9}));
}

}  // namespace
}  // namespace app
