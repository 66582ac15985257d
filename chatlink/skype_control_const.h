#pragma once

// The chat client's protocol vocabulary: for each enumeration, its values in ordinal order, the
// word that stands for each value on the wire, and which protocol versions (1 to 4) know it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace chatlink {

// The desktop API's registered message names: a program discovers the client with the second,
// the client answers and says how attaching went with the first.
inline constexpr std::string_view kAttachMessageName = "SkypeControlAPIAttach";
inline constexpr std::string_view kDiscoverMessageName = "SkypeControlAPIDiscover";

// Attach statuses that the client sends as the LParam of the attach message.
inline constexpr std::intptr_t kAttachSuccess = 0;
inline constexpr std::intptr_t kAttachPendingAuthorization = 1;
inline constexpr std::intptr_t kAttachRefused = 2;
inline constexpr std::intptr_t kAttachNotAvailable = 3;
inline constexpr std::intptr_t kAttachApiAvailable = 0x8001;

// The desktop API's protocol version the program asks for, and the one a re-attach asks for.
inline constexpr std::int32_t kRequestedProtocol = 4;

// A chat message's line: "CHATMESSAGE id PROPERTY value", and the statuses it goes through.
inline constexpr std::string_view kChatMessageWord = "CHATMESSAGE";
inline constexpr std::string_view kStatusSending = "SENDING";
inline constexpr std::string_view kStatusSent = "SENT";
inline constexpr std::string_view kStatusFailed = "FAILED";
inline constexpr std::string_view kStatusReceived = "RECEIVED";
inline constexpr std::string_view kStatusRead = "READ";
// A sent message's recipient: other programs ask for it; this link's own enumeration has no value
// for it.
inline constexpr std::string_view kToHandleWord = "TO_HANDLE";
std::string ChatMessageLine(std::int32_t id, std::string_view property, std::string_view value);

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
