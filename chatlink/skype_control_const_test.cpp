#include "chatlink/skype_control_const.h"

#include <gtest/gtest.h>

namespace chatlink {
namespace {

struct Published {
  Vocabulary vocabulary;
  int count;
  std::uint32_t rows[4];
};

// The support rows as the protocol documentation gives them, bit i standing for ordinal i.
constexpr Published kPublished[] = {
    {Vocabulary::kUserStatus, 9, {0x00FF, 0x01FF, 0x01FF, 0x01FF}},
    {Vocabulary::kConnStatus, 5, {0x1F, 0x1F, 0x1F, 0x1F}},
    {Vocabulary::kSearchType, 14, {0x007F, 0x007F, 0x30DF, 0x3FDF}},
    {Vocabulary::kUserProperty, 20, {0xFFFFF, 0xFFFFF, 0xFFFFF, 0xFFFFF}},
    {Vocabulary::kCallProperty, 16, {0x9F8F, 0x9F8F, 0x9F8F, 0x9FEF}},
    {Vocabulary::kMessageProperty, 9, {0x01BF, 0x01BF, 0x0000, 0x0000}},
    {Vocabulary::kChatProperty, 10, {0x0000, 0x0000, 0x037F, 0x03FF}},
    {Vocabulary::kChatMsgProperty, 10, {0x0000, 0x0000, 0x01FF, 0x01FF}},
    {Vocabulary::kPrivilege, 1, {0x01, 0x01, 0x01, 0x01}},
    {Vocabulary::kProfile, 2, {0x00, 0x00, 0x00, 0x03}},
};

TEST(Vocabulary, SupportRowsMatchThePublishedBitSets) {
  for (const Published& p : kPublished) {
    SCOPED_TRACE(static_cast<int>(p.vocabulary));
    EXPECT_EQ(ValueCount(p.vocabulary), p.count);
    for (int protocol = 1; protocol <= 4; ++protocol) {
      EXPECT_EQ(SupportRow(p.vocabulary, protocol), p.rows[protocol - 1])
          << "protocol " << protocol;
    }
  }
}

TEST(Vocabulary, EveryWireWordLeadsBackToItsOwnOrdinal) {
  for (const Published& p : kPublished) {
    for (int ordinal = 0; ordinal < p.count; ++ordinal) {
      const std::string_view word = WireWord(p.vocabulary, ordinal);
      EXPECT_FALSE(word.empty());
      EXPECT_EQ(WordToOrdinal(p.vocabulary, word), ordinal) << word;
    }
    EXPECT_EQ(WireWord(p.vocabulary, p.count), "");
    EXPECT_EQ(WireWord(p.vocabulary, -1), "");
  }
}

TEST(Vocabulary, LookupsArePerEnumerationAndCaseSensitive) {
  EXPECT_EQ(WordToOrdinal<TSkypeConnStatus>("ONLINE"), csOnline);
  EXPECT_EQ(WordToOrdinal<TSkypeUserStatus>("ONLINE"), usOnline);
  EXPECT_EQ(WordToOrdinal<TSkypeUserStatus>("online"), usUnknown);
  EXPECT_EQ(WordToOrdinal<TSkypeChatMsgProperty>(""), cmChatname);
  EXPECT_EQ(WordToOrdinal<TSkypeChatMsgProperty>("FROM_HANDLE"), cmFromHandle);
  // The ordinals the main window relies on.
  EXPECT_EQ(stFriends, 1);
  EXPECT_EQ(cmFromHandle, 2);
  EXPECT_EQ(cmBody, 7);
  EXPECT_EQ(cmStatus, 8);
  EXPECT_EQ(WireWord(stChatMsgs), "CHATMESSAGES");
  EXPECT_EQ(WireWord(cmBody), "BODY");
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

TEST(Vocabulary, ValuesNoProtocolSupports) {
  for (int protocol = 1; protocol <= 4; ++protocol) {
    EXPECT_FALSE(IsSupported(cpJoinConference, protocol));
    EXPECT_FALSE(IsSupported(cpSeen, protocol));
    EXPECT_FALSE(IsSupported(cpDTMF, protocol));
    EXPECT_FALSE(IsSupported(mpSeen, protocol));
    EXPECT_FALSE(IsSupported(cmSeen, protocol));
  }
}

}  // namespace
}  // namespace chatlink
