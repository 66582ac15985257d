// The window's model and its history through a history in memory: what is shown is kept once,
// what was kept comes back as it was left (pages, marks, the page on show and its contact), in
// batches as the user reaches a page's top, and what the user forgets goes.
#include "app/history_keeper.h"
#include "app/memory_history_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

namespace app {
namespace {

using ::testing::ElementsAre;

ConversationLine Received(const std::u16string& text) {
  return {LineKind::kReceived, text};
}

std::vector<std::u16string> Shown(const FormModel& model, int conversation) {
  std::vector<std::u16string> texts;
  for (const ConversationLine& l : model.At(conversation).lines) texts.push_back(l.text);
  return texts;
}

// One run of the window: a model and its keeper on the history that outlives them.
struct Window {
  explicit Window(MemoryHistory& history) : keeper(model, history, [] { return 1700000000; }) {}
  FormModel model;
  HistoryKeeper keeper;
};

TEST(HistoryKeeperTest, WhatIsShownComesBackAsItWasLeftAfterARestart) {
  MemoryHistory history;
  {
    Window run(history);
    run.model.SetContacts({"bob", "carol"});
    // Held messages come before the chat client has said who the user is: they wait.
    const int bob = run.model.OpenConversation("bob");
    run.model.AddLine(bob, Received(u"bob: 1"), true, false);
    EXPECT_TRUE(history.lines.empty());
    run.keeper.SignedIn("alice");
    const int carol = run.model.OpenConversation("carol");
    run.model.AddLine(carol, Received(u"carol: 1"), true, false);
    run.model.AddLine(bob, {LineKind::kSent, u"alice: 2"}, false, true);
    run.model.ChooseRecipient(run.model.FindContact("carol"));  // carol's page on show, read
    run.model.AddLine(bob, Received(u"bob: 3"), true, true);    // bob's unread again
  }
  EXPECT_THAT(history.TextsOf("bob"), ElementsAre(u"bob: 1", u"alice: 2", u"bob: 3"));

  Window run(history);
  run.model.SetContacts({"bob", "carol"});
  run.keeper.SignedIn("alice");
  ASSERT_EQ(run.model.ConversationCount(), 2);
  EXPECT_EQ(run.model.At(0).handle, "bob");
  EXPECT_TRUE(run.model.At(0).unread);
  EXPECT_FALSE(run.model.At(1).unread);
  EXPECT_EQ(run.model.Shown(), 1);
  EXPECT_EQ(run.model.RecipientHandle(), "carol");
  EXPECT_TRUE(run.model.PagesVisible());
  EXPECT_THAT(Shown(run.model, 1), ElementsAre(u"carol: 1"));
  // A page's lines are read when it is first shown, before what came to it meanwhile.
  const int reads = history.reads;
  run.model.AddLine(0, Received(u"bob: 4"), true, false);
  run.model.ShowConversation(0);
  EXPECT_THAT(Shown(run.model, 0), ElementsAre(u"bob: 1", u"alice: 2", u"bob: 3", u"bob: 4"));
  EXPECT_EQ(history.reads, reads + 1);
  run.model.ShowConversation(1);
  run.model.ShowConversation(0);
  EXPECT_EQ(history.reads, reads + 1) << "read once";
  // Nothing that came back was kept again.
  EXPECT_THAT(history.TextsOf("bob"), ElementsAre(u"bob: 1", u"alice: 2", u"bob: 3", u"bob: 4"));
}

TEST(HistoryKeeperTest, AMessageHeldWhileClosedStaysOnShowAfterWhatWasKept) {
  MemoryHistory history;
  {
    Window run(history);
    run.keeper.SignedIn("alice");
    run.model.AddLine(run.model.OpenConversation("bob"), Received(u"bob: old"), true, true);
    run.model.AddLine(run.model.OpenConversation("carol"), Received(u"carol: old"), true, true);
  }
  Window run(history);
  const int carol = run.model.OpenConversation("carol");
  run.model.AddLine(carol, Received(u"carol: held"), true, false);
  run.keeper.SignedIn("alice");
  EXPECT_EQ(run.model.At(run.model.Shown()).handle, "carol");
  EXPECT_EQ(run.model.RecipientHandle(), "carol");
  EXPECT_THAT(Shown(run.model, carol), ElementsAre(u"carol: old", u"carol: held"));
  EXPECT_THAT(history.TextsOf("carol"), ElementsAre(u"carol: old", u"carol: held"));
}

TEST(HistoryKeeperTest, OlderLinesComeInBatchesAtThePagesTop) {
  MemoryHistory history;
  history.user = "alice";
  for (int i = 0; i < 450; ++i) history.Keep("bob", Received(u"bob: " + std::u16string(1, static_cast<char16_t>(u'a' + i % 26))), 0);
  Window run(history);
  run.keeper.SignedIn("alice");
  EXPECT_EQ(run.model.At(0).lines.size(), 200u);
  run.model.AddLine(0, Received(u"bob: new"), true, true);
  EXPECT_TRUE(run.keeper.LoadEarlier(0));
  EXPECT_EQ(run.model.At(0).lines.size(), 401u);
  EXPECT_TRUE(run.keeper.LoadEarlier(0));
  EXPECT_EQ(run.model.At(0).lines.size(), 451u);
  EXPECT_EQ(run.model.At(0).lines.front().text, u"bob: a");
  const int reads = history.reads;
  EXPECT_FALSE(run.keeper.LoadEarlier(0));
  EXPECT_EQ(history.reads, reads) << "the start of a conversation is not looked for again";
  EXPECT_EQ(history.lines.size(), 451u);
}

TEST(HistoryKeeperTest, AForgottenConversationLeavesThePageAndTheHistory) {
  MemoryHistory history;
  Window run(history);
  run.keeper.SignedIn("alice");
  const int bob = run.model.OpenConversation("bob");
  run.model.AddLine(bob, Received(u"bob: secret"), true, false);
  run.model.AddLine(run.model.OpenConversation("carol"), Received(u"carol: hi"), true, false);
  run.keeper.Forget(bob);
  EXPECT_TRUE(run.model.At(bob).lines.empty());
  EXPECT_FALSE(run.model.At(bob).unread);
  EXPECT_TRUE(history.TextsOf("bob").empty());
  EXPECT_THAT(history.TextsOf("carol"), ElementsAre(u"carol: hi"));
  run.model.AddLine(bob, Received(u"bob: after"), true, false);
  EXPECT_THAT(history.TextsOf("bob"), ElementsAre(u"bob: after"));
  EXPECT_FALSE(run.keeper.LoadEarlier(bob));
}

}  // namespace
}  // namespace app
