#include "chatlink/skype_control_const.h"

#include <gtest/gtest.h>

#include <map>

namespace chatlink {
namespace {

using V = Vocabulary;

struct Word {
  Vocabulary vocabulary;
  int ordinal;
  const char* wire;
  // Support under protocols 1 to 4: 'y' or '-'.
  const char* support;
};

// The protocol's whole vocabulary as its documentation gives it, value by value in ordinal
// order: the oracle for the tables in the code.
constexpr Word kWords[] = {
    {V::kUserStatus, usUnknown, "UNKNOWN", "yyyy"},
    {V::kUserStatus, usOnline, "ONLINE", "yyyy"},
    {V::kUserStatus, usOffline, "OFFLINE", "yyyy"},
    {V::kUserStatus, usAway, "AWAY", "yyyy"},
    {V::kUserStatus, usNA, "NA", "yyyy"},
    {V::kUserStatus, usDND, "DND", "yyyy"},
    {V::kUserStatus, usInvisible, "INVISIBLE", "yyyy"},
    {V::kUserStatus, usLoggedOut, "LOGGEDOUT", "yyyy"},
    {V::kUserStatus, usSkypeMe, "SKYPEME", "-yyy"},
    {V::kConnStatus, csOffline, "OFFLINE", "yyyy"},
    {V::kConnStatus, csConnecting, "CONNECTING", "yyyy"},
    {V::kConnStatus, csPausing, "PAUSING", "yyyy"},
    {V::kConnStatus, csOnline, "ONLINE", "yyyy"},
    {V::kConnStatus, csLoggedOut, "LOGGEDOUT", "yyyy"},
    {V::kSearchType, stUsers, "USERS", "yyyy"},
    {V::kSearchType, stFriends, "FRIENDS", "yyyy"},
    {V::kSearchType, stCalls, "CALLS", "yyyy"},
    {V::kSearchType, stActiveCalls, "ACTIVECALLS", "yyyy"},
    {V::kSearchType, stMissedCalls, "MISSEDCALLS", "yyyy"},
    {V::kSearchType, stMessages, "MESSAGES", "yy--"},
    {V::kSearchType, stMissedMessages, "MISSEDMESSAGES", "yyyy"},
    {V::kSearchType, stChats, "CHATS", "--yy"},
    {V::kSearchType, stActiveChats, "ACTIVECHATS", "---y"},
    {V::kSearchType, stMissedChats, "MISSEDCHATS", "---y"},
    {V::kSearchType, stRecentChats, "RECENTCHATS", "---y"},
    {V::kSearchType, stBookmarkedChats, "BOOKMARKEDCHATS", "---y"},
    {V::kSearchType, stChatMsgs, "CHATMESSAGES", "--yy"},
    {V::kSearchType, stMissedChatMsgs, "MISSEDCHATMESSAGES", "--yy"},
    {V::kUserProperty, upHandle, "HANDLE", "yyyy"},
    {V::kUserProperty, upFullname, "FULLNAME", "yyyy"},
    {V::kUserProperty, upBirthday, "BIRTHDAY", "yyyy"},
    {V::kUserProperty, upSex, "SEX", "yyyy"},
    {V::kUserProperty, upLanguage, "LANGUAGE", "yyyy"},
    {V::kUserProperty, upCountry, "COUNTRY", "yyyy"},
    {V::kUserProperty, upProvince, "PROVINCE", "yyyy"},
    {V::kUserProperty, upCity, "CITY", "yyyy"},
    {V::kUserProperty, upPhoneHome, "PHONE_HOME", "yyyy"},
    {V::kUserProperty, upPhoneOffice, "PHONE_OFFICE", "yyyy"},
    {V::kUserProperty, upPhoneMobile, "PHONE_MOBILE", "yyyy"},
    {V::kUserProperty, upHomepage, "HOMEPAGE", "yyyy"},
    {V::kUserProperty, upAbout, "ABOUT", "yyyy"},
    {V::kUserProperty, upHasCallEquipment, "HASCALLEQUIPMENT", "yyyy"},
    {V::kUserProperty, upBuddyStatus, "BUDDYSTATUS", "yyyy"},
    {V::kUserProperty, upIsAuthorized, "ISAUTHORIZED", "yyyy"},
    {V::kUserProperty, upIsBlocked, "ISBLOCKED", "yyyy"},
    {V::kUserProperty, upDisplayname, "DISPLAYNAME", "yyyy"},
    {V::kUserProperty, upOnlineStatus, "ONLINESTATUS", "yyyy"},
    {V::kUserProperty, upLastOnlineTimeStamp, "LASTONLINETIMESTAMP", "yyyy"},
    {V::kCallProperty, cpTimestamp, "TIMESTAMP", "yyyy"},
    {V::kCallProperty, cpPartnerHandle, "PARTNER_HANDLE", "yyyy"},
    {V::kCallProperty, cpPartnerDispname, "PARTNER_DISPNAME", "yyyy"},
    {V::kCallProperty, cpConfId, "CONF_ID", "yyyy"},
    {V::kCallProperty, cpJoinConference, "JOIN_CONFERENCE", "----"},
    {V::kCallProperty, cpConfParticipant, "CONF_PARTICIPANT", "---y"},
    {V::kCallProperty, cpConfParticipantsCount, "CONF_PARTICIPANTS_COUNT", "---y"},
    {V::kCallProperty, cpType, "TYPE", "yyyy"},
    {V::kCallProperty, cpStatus, "STATUS", "yyyy"},
    {V::kCallProperty, cpFailureReason, "FAILUREREASON", "yyyy"},
    {V::kCallProperty, cpSubject, "SUBJECT", "yyyy"},
    {V::kCallProperty, cpPSTNNumber, "PSTN_NUMBER", "yyyy"},
    {V::kCallProperty, cpDuration, "DURATION", "yyyy"},
    {V::kCallProperty, cpSeen, "SEEN", "----"},
    {V::kCallProperty, cpDTMF, "DTMF", "----"},
    {V::kCallProperty, cpPSTNStatus, "PSTN_STATUS", "yyyy"},
    {V::kMessageProperty, mpTimestamp, "TIMESTAMP", "yy--"},
    {V::kMessageProperty, mpPartnerHandle, "PARTNER_HANDLE", "yy--"},
    {V::kMessageProperty, mpPartnerDispname, "PARTNER_DISPNAME", "yy--"},
    {V::kMessageProperty, mpConfId, "CONF_ID", "yy--"},
    {V::kMessageProperty, mpType, "TYPE", "yy--"},
    {V::kMessageProperty, mpStatus, "STATUS", "yy--"},
    {V::kMessageProperty, mpSeen, "SEEN", "----"},
    {V::kMessageProperty, mpFailureReason, "FAILUREREASON", "yy--"},
    {V::kMessageProperty, mpBody, "BODY", "yy--"},
    {V::kChatProperty, chName, "NAME", "--yy"},
    {V::kChatProperty, chTimestamp, "TIMESTAMP", "--yy"},
    {V::kChatProperty, chAdder, "ADDER", "--yy"},
    {V::kChatProperty, chStatus, "STATUS", "--yy"},
    {V::kChatProperty, chPosters, "POSTERS", "--yy"},
    {V::kChatProperty, chMembers, "MEMBERS", "--yy"},
    {V::kChatProperty, chTopic, "TOPIC", "--yy"},
    {V::kChatProperty, chChatMessages, "CHATMESSAGES", "---y"},
    {V::kChatProperty, chActiveMembers, "ACTIVEMEMBERS", "--yy"},
    {V::kChatProperty, chFriendlyname, "FRIENDLYNAME", "--yy"},
    {V::kChatMsgProperty, cmChatname, "CHATNAME", "--yy"},
    {V::kChatMsgProperty, cmTimestamp, "TIMESTAMP", "--yy"},
    {V::kChatMsgProperty, cmFromHandle, "FROM_HANDLE", "--yy"},
    {V::kChatMsgProperty, cmFromDispname, "FROM_DISPNAME", "--yy"},
    {V::kChatMsgProperty, cmType, "TYPE", "--yy"},
    {V::kChatMsgProperty, cmUsers, "USERS", "--yy"},
    {V::kChatMsgProperty, cmLeaveReason, "LEAVEREASON", "--yy"},
    {V::kChatMsgProperty, cmBody, "BODY", "--yy"},
    {V::kChatMsgProperty, cmStatus, "STATUS", "--yy"},
    {V::kChatMsgProperty, cmSeen, "SEEN", "----"},
    {V::kPrivilege, spSkypeOut, "SKYPEOUT", "yyyy"},
    {V::kProfile, spfPSTNBalance, "PSTN_BALANCE", "---y"},
    {V::kProfile, spfPSTNBalanceCurrency, "PSTN_BALANCE_CURRENCY", "---y"},
};

TEST(Vocabulary, EveryWireWordAndSupportFlagIsAsDocumented) {
  std::map<Vocabulary, int> counts;
  for (const Word& w : kWords) {
    SCOPED_TRACE(w.wire);
    // Rows come in ordinal order, so the enumerations' values are checked as well.
    EXPECT_EQ(w.ordinal, counts[w.vocabulary]++);
    EXPECT_EQ(WireWord(w.vocabulary, w.ordinal), w.wire);
    EXPECT_EQ(WordToOrdinal(w.vocabulary, w.wire), w.ordinal);
    for (int protocol = 1; protocol <= 4; ++protocol) {
      EXPECT_EQ(IsSupported(w.vocabulary, w.ordinal, protocol), w.support[protocol - 1] == 'y')
          << "protocol " << protocol;
      EXPECT_EQ((SupportRow(w.vocabulary, protocol) >> w.ordinal) & 1u,
                w.support[protocol - 1] == 'y' ? 1u : 0u);
    }
  }
  ASSERT_EQ(counts.size(), 10u);
  for (const auto& [vocabulary, count] : counts) {
    EXPECT_EQ(ValueCount(vocabulary), count);
    EXPECT_EQ(WireWord(vocabulary, count), "");
    EXPECT_EQ(WireWord(vocabulary, -1), "");
    for (int protocol = 1; protocol <= 4; ++protocol) {
      EXPECT_EQ(SupportRow(vocabulary, protocol) >> count, 0u) << "bits beyond the last value";
    }
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
