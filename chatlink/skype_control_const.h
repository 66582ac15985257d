#pragma once

// The chat client's protocol vocabulary: for each enumeration, its values in ordinal order, the
// word that stands for each value on the wire, and which protocol versions (1 to 4) know it.

#include <cstdint>
#include <span>
#include <string_view>

namespace chatlink {

enum TSkypeUserStatus {
  usUnknown,
  usOnline,
  usOffline,
  usAway,
  usNA,
  usDND,
  usInvisible,
  usLoggedOut,
  usSkypeMe
};
enum TSkypeConnStatus { csOffline, csConnecting, csPausing, csOnline, csLoggedOut };
enum TSkypeSearchType {
  stUsers,
  stFriends,
  stCalls,
  stActiveCalls,
  stMissedCalls,
  stMessages,
  stMissedMessages,
  stChats,
  stActiveChats,
  stMissedChats,
  stRecentChats,
  stBookmarkedChats,
  stChatMsgs,
  stMissedChatMsgs
};
enum TSkypeUserProperty {
  upHandle,
  upFullname,
  upBirthday,
  upSex,
  upLanguage,
  upCountry,
  upProvince,
  upCity,
  upPhoneHome,
  upPhoneOffice,
  upPhoneMobile,
  upHomepage,
  upAbout,
  upHasCallEquipment,
  upBuddyStatus,
  upIsAuthorized,
  upIsBlocked,
  upDisplayname,
  upOnlineStatus,
  upLastOnlineTimeStamp
};
enum TSkypeCallProperty {
  cpTimestamp,
  cpPartnerHandle,
  cpPartnerDispname,
  cpConfId,
  cpJoinConference,
  cpConfParticipant,
  cpConfParticipantsCount,
  cpType,
  cpStatus,
  cpFailureReason,
  cpSubject,
  cpPSTNNumber,
  cpDuration,
  cpSeen,
  cpDTMF,
  cpPSTNStatus
};
enum TSkypeMessageProperty {
  mpTimestamp,
  mpPartnerHandle,
  mpPartnerDispname,
  mpConfId,
  mpType,
  mpStatus,
  mpSeen,
  mpFailureReason,
  mpBody
};
enum TSkypeChatProperty {
  chName,
  chTimestamp,
  chAdder,
  chStatus,
  chPosters,
  chMembers,
  chTopic,
  chChatMessages,
  chActiveMembers,
  chFriendlyname
};
enum TSkypeChatMsgProperty {
  cmChatname,
  cmTimestamp,
  cmFromHandle,
  cmFromDispname,
  cmType,
  cmUsers,
  cmLeaveReason,
  cmBody,
  cmStatus,
  cmSeen
};
enum TSkypePrivilege { spSkypeOut };
enum TSkypeProfile { spfPSTNBalance, spfPSTNBalanceCurrency };

// Names the ten enumerations for the generic lookups below.
enum class Vocabulary {
  kUserStatus,
  kConnStatus,
  kSearchType,
  kUserProperty,
  kCallProperty,
  kMessageProperty,
  kChatProperty,
  kChatMsgProperty,
  kPrivilege,
  kProfile
};

// Which vocabulary an enumeration's words are in.
// clang-format off
constexpr Vocabulary VocabularyOf(TSkypeUserStatus) { return Vocabulary::kUserStatus; }
constexpr Vocabulary VocabularyOf(TSkypeConnStatus) { return Vocabulary::kConnStatus; }
constexpr Vocabulary VocabularyOf(TSkypeSearchType) { return Vocabulary::kSearchType; }
constexpr Vocabulary VocabularyOf(TSkypeUserProperty) { return Vocabulary::kUserProperty; }
constexpr Vocabulary VocabularyOf(TSkypeCallProperty) { return Vocabulary::kCallProperty; }
constexpr Vocabulary VocabularyOf(TSkypeMessageProperty) { return Vocabulary::kMessageProperty; }
constexpr Vocabulary VocabularyOf(TSkypeChatProperty) { return Vocabulary::kChatProperty; }
constexpr Vocabulary VocabularyOf(TSkypeChatMsgProperty) { return Vocabulary::kChatMsgProperty; }
constexpr Vocabulary VocabularyOf(TSkypePrivilege) { return Vocabulary::kPrivilege; }
constexpr Vocabulary VocabularyOf(TSkypeProfile) { return Vocabulary::kProfile; }
// clang-format on

// Number of values of an enumeration.
int ValueCount(Vocabulary v);
// The wire word of an ordinal; empty for an ordinal outside the enumeration.
std::string_view WireWord(Vocabulary v, int ordinal);
// The first ordinal whose wire word equals `word` byte for byte; 0 when none does.
int WordToOrdinal(Vocabulary v, std::string_view word);
// The set of ordinals a protocol version supports, bit i standing for ordinal i. Protocol
// numbers above 4 take the row of 4 (a newer client knows at least what 4 does); below 1, none.
std::uint32_t SupportRow(Vocabulary v, int protocol);
bool IsSupported(Vocabulary v, int ordinal, int protocol);

template <typename E>
std::string_view WireWord(E value) {
  return WireWord(VocabularyOf(E{}), static_cast<int>(value));
}
template <typename E>
E WordToOrdinal(std::string_view word) {
  return static_cast<E>(WordToOrdinal(VocabularyOf(E{}), word));
}
template <typename E>
bool IsSupported(E value, int protocol) {
  return IsSupported(VocabularyOf(E{}), static_cast<int>(value), protocol);
}

}  // namespace chatlink
