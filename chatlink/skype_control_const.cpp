#include "chatlink/skype_control_const.h"

#include <array>

namespace chatlink {
namespace {

// One value: its wire word and the protocol versions that know it.
struct Word {
  std::string_view word;
  std::string_view protocols;
};

constexpr Word kUserStatus[] = {
    {"UNKNOWN", "1234"},   {"ONLINE", "1234"},    {"OFFLINE", "1234"},
    {"AWAY", "1234"},      {"NA", "1234"},        {"DND", "1234"},
    {"INVISIBLE", "1234"}, {"LOGGEDOUT", "1234"}, {"SKYPEME", "234"},
};
constexpr Word kConnStatus[] = {
    {"OFFLINE", "1234"}, {"CONNECTING", "1234"}, {"PAUSING", "1234"},
    {"ONLINE", "1234"},  {"LOGGEDOUT", "1234"},
};
constexpr Word kSearchType[] = {
    {"USERS", "1234"},          {"FRIENDS", "1234"},
    {"CALLS", "1234"},          {"ACTIVECALLS", "1234"},
    {"MISSEDCALLS", "1234"},    {"MESSAGES", "12"},
    {"MISSEDMESSAGES", "1234"}, {"CHATS", "34"},
    {"ACTIVECHATS", "4"},       {"MISSEDCHATS", "4"},
    {"RECENTCHATS", "4"},       {"BOOKMARKEDCHATS", "4"},
    {"CHATMESSAGES", "34"},     {"MISSEDCHATMESSAGES", "34"},
};
constexpr Word kUserProperty[] = {
    {"HANDLE", "1234"},       {"FULLNAME", "1234"},
    {"BIRTHDAY", "1234"},     {"SEX", "1234"},
    {"LANGUAGE", "1234"},     {"COUNTRY", "1234"},
    {"PROVINCE", "1234"},     {"CITY", "1234"},
    {"PHONE_HOME", "1234"},   {"PHONE_OFFICE", "1234"},
    {"PHONE_MOBILE", "1234"}, {"HOMEPAGE", "1234"},
    {"ABOUT", "1234"},        {"HASCALLEQUIPMENT", "1234"},
    {"BUDDYSTATUS", "1234"},  {"ISAUTHORIZED", "1234"},
    {"ISBLOCKED", "1234"},    {"DISPLAYNAME", "1234"},
    {"ONLINESTATUS", "1234"}, {"LASTONLINETIMESTAMP", "1234"},
};
constexpr Word kCallProperty[] = {
    {"TIMESTAMP", "1234"},
    {"PARTNER_HANDLE", "1234"},
    {"PARTNER_DISPNAME", "1234"},
    {"CONF_ID", "1234"},
    {"JOIN_CONFERENCE", ""},
    {"CONF_PARTICIPANT", "4"},
    {"CONF_PARTICIPANTS_COUNT", "4"},
    {"TYPE", "1234"},
    {"STATUS", "1234"},
    {"FAILUREREASON", "1234"},
    {"SUBJECT", "1234"},
    {"PSTN_NUMBER", "1234"},
    {"DURATION", "1234"},
    {"SEEN", ""},
    {"DTMF", ""},
    {"PSTN_STATUS", "1234"},
};
constexpr Word kMessageProperty[] = {
    {"TIMESTAMP", "12"}, {"PARTNER_HANDLE", "12"}, {"PARTNER_DISPNAME", "12"},
    {"CONF_ID", "12"},   {"TYPE", "12"},           {"STATUS", "12"},
    {"SEEN", ""},        {"FAILUREREASON", "12"},  {"BODY", "12"},
};
constexpr Word kChatProperty[] = {
    {"NAME", "34"},          {"TIMESTAMP", "34"},    {"ADDER", "34"}, {"STATUS", "34"},
    {"POSTERS", "34"},       {"MEMBERS", "34"},      {"TOPIC", "34"}, {"CHATMESSAGES", "4"},
    {"ACTIVEMEMBERS", "34"}, {"FRIENDLYNAME", "34"},
};
constexpr Word kChatMsgProperty[] = {
    {"CHATNAME", "34"}, {"TIMESTAMP", "34"}, {"FROM_HANDLE", "34"}, {"FROM_DISPNAME", "34"},
    {"TYPE", "34"},     {"USERS", "34"},     {"LEAVEREASON", "34"}, {"BODY", "34"},
    {"STATUS", "34"},   {"SEEN", ""},
};
constexpr Word kPrivilege[] = {{"SKYPEOUT", "1234"}};
constexpr Word kProfile[] = {{"PSTN_BALANCE", "4"}, {"PSTN_BALANCE_CURRENCY", "4"}};

std::span<const Word> Table(Vocabulary v) {
  switch (v) {
    case Vocabulary::kUserStatus:
      return kUserStatus;
    case Vocabulary::kConnStatus:
      return kConnStatus;
    case Vocabulary::kSearchType:
      return kSearchType;
    case Vocabulary::kUserProperty:
      return kUserProperty;
    case Vocabulary::kCallProperty:
      return kCallProperty;
    case Vocabulary::kMessageProperty:
      return kMessageProperty;
    case Vocabulary::kChatProperty:
      return kChatProperty;
    case Vocabulary::kChatMsgProperty:
      return kChatMsgProperty;
    case Vocabulary::kPrivilege:
      return kPrivilege;
    case Vocabulary::kProfile:
      return kProfile;
  }
  return {};
}

}  // namespace

int ValueCount(Vocabulary v) {
  return static_cast<int>(Table(v).size());
}

std::string_view WireWord(Vocabulary v, int ordinal) {
  auto table = Table(v);
  if (ordinal < 0 || ordinal >= static_cast<int>(table.size())) return {};
  return table[static_cast<std::size_t>(ordinal)].word;
}

int WordToOrdinal(Vocabulary v, std::string_view word) {
  auto table = Table(v);
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i].word == word) return static_cast<int>(i);
  }
  return 0;
}

std::uint32_t SupportRow(Vocabulary v, int protocol) {
  if (protocol < 1) return 0;
  const char version = static_cast<char>('0' + (protocol > 4 ? 4 : protocol));
  std::uint32_t row = 0;
  auto table = Table(v);
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i].protocols.find(version) != std::string_view::npos) row |= 1u << i;
  }
  return row;
}

bool IsSupported(Vocabulary v, int ordinal, int protocol) {
  if (ordinal < 0 || ordinal >= ValueCount(v)) return false;
  return (SupportRow(v, protocol) >> ordinal) & 1u;
}

std::string ChatMessageLine(std::int32_t id, std::string_view property, std::string_view value) {
  std::string line(kChatMessageWord);
  // An empty value keeps its space: "CHATMESSAGE 7 BODY " is an empty body.
  return line.append(" ").append(std::to_string(id)).append(" ").append(property).append(" ").append(
      value);
}

}  // namespace chatlink
