#include "chatlink/skype_control_const.h"

#include <gtest/gtest.h>

#include <set>
#include <string_view>

namespace chatlink {
namespace {

using V = Vocabulary;

// Every value of every vocabulary has a word of its own that reads back as the value, nothing
// answers past the last value, and a protocol's support row holds no bit beyond it. (The words
// themselves are the tables' own; those this program puts on the wire are checked where they
// travel.)
TEST(Vocabulary, EveryValueHasAWordOfItsOwnThatReadsBack) {
  for (int v = 0; v <= static_cast<int>(V::kProfile); ++v) {
    const auto vocabulary = static_cast<Vocabulary>(v);
    const int count = ValueCount(vocabulary);
    std::set<std::string_view> words;
    for (int ordinal = 0; ordinal < count; ++ordinal) {
      const std::string_view word = WireWord(vocabulary, ordinal);
      EXPECT_FALSE(word.empty()) << v << ":" << ordinal;
      EXPECT_TRUE(words.insert(word).second) << word;
      EXPECT_EQ(WordToOrdinal(vocabulary, word), ordinal) << word;
    }
    EXPECT_EQ(WireWord(vocabulary, count), "");
    EXPECT_EQ(WireWord(vocabulary, -1), "");
    for (int protocol = 1; protocol <= 4; ++protocol) {
      EXPECT_EQ(SupportRow(vocabulary, protocol) >> count, 0u) << "bits beyond the last value";
      // Support only grows with the protocol, but for what protocol 3 dropped.
      if (vocabulary != V::kSearchType && vocabulary != V::kMessageProperty && protocol > 1) {
        EXPECT_EQ(SupportRow(vocabulary, protocol - 1) & ~SupportRow(vocabulary, protocol), 0u)
            << v << " under " << protocol;
      }
    }
  }
  // The protocol versions that carry what this program uses.
  EXPECT_EQ(WireWord(cmFromHandle), "FROM_HANDLE");
  for (int protocol = 1; protocol <= 4; ++protocol) {
    EXPECT_EQ(IsSupported(cmBody, protocol), protocol >= 3) << protocol;
    EXPECT_EQ(IsSupported(stFriends, protocol), true) << protocol;
    EXPECT_EQ(IsSupported(cmSeen, protocol), false) << protocol;
    EXPECT_EQ(IsSupported(stMessages, protocol), protocol <= 2) << protocol;
  }
}

TEST(Vocabulary, LookupsArePerEnumerationAndCaseSensitive) {
  EXPECT_EQ(WordToOrdinal<TSkypeConnStatus>("ONLINE"), csOnline);
  EXPECT_EQ(WordToOrdinal<TSkypeUserStatus>("ONLINE"), usOnline);
  EXPECT_EQ(WordToOrdinal<TSkypeUserStatus>("online"), usUnknown);
  EXPECT_EQ(WordToOrdinal<TSkypeChatMsgProperty>(""), cmChatname);
  EXPECT_EQ(WordToOrdinal<TSkypeChatMsgProperty>("FROM_HANDLE "), cmChatname);
  EXPECT_EQ(WordToOrdinal<TSkypeChatMsgProperty>("FROM"), cmChatname);
}

// The line both sides of the API build and read; an empty value keeps its space.
TEST(Vocabulary, AChatMessageLine) {
  EXPECT_EQ(ChatMessageLine(42, WireWord(cmStatus), kStatusSending), "CHATMESSAGE 42 STATUS SENDING");
  EXPECT_EQ(ChatMessageLine(7, WireWord(cmBody), ""), "CHATMESSAGE 7 BODY ");
}

TEST(Vocabulary, ProtocolNumbersOutsideOneToFour) {
  for (int protocol : {-1, 0, -2147483647 - 1}) {
    EXPECT_FALSE(IsSupported(stUsers, protocol)) << protocol;
    EXPECT_EQ(SupportRow(Vocabulary::kSearchType, protocol), 0u);
  }
  for (int protocol : {5, 8, 2147483647}) {
    EXPECT_TRUE(IsSupported(stBookmarkedChats, protocol)) << protocol;
    EXPECT_FALSE(IsSupported(stMessages, protocol)) << protocol;
  }
  EXPECT_FALSE(IsSupported(Vocabulary::kPrivilege, 1, 4));
  EXPECT_FALSE(IsSupported(Vocabulary::kPrivilege, -1, 4));
}

}  // namespace
}  // namespace chatlink
