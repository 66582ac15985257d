#include "chatlink/skype_control.h"

#include <charconv>
#include <string>
#include <utility>

namespace chatlink {
namespace {

// A word read as a signed 32-bit decimal number, or `fallback` when it is not one.
std::int32_t IntegerOr(std::string_view word, std::int32_t fallback) {
  if (word.empty()) return fallback;
  if (word.front() == '+') word.remove_prefix(1);
  std::int32_t value = 0;
  auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (ec != std::errc() || end != word.data() + word.size()) return fallback;
  return value;
}

// A handler may rebind or clear its own slot, and so may a handler nested further in while an
// outer one still runs: each runs from a copy, so its closure lives until it returns.
template <typename Slot, typename... Args>
void Fire(const Slot& slot, Args&&... args) {
  if (!slot) return;
  const Slot handler = slot;
  handler(std::forward<Args>(args)...);
}

bool IsSeparator(char c, bool alsoComma) {
  return c == ' ' || (alsoComma && c == ',');
}

}  // namespace

std::string_view NextWord(std::string_view& s, bool alsoComma) {
  std::size_t i = 0;
  while (i < s.size() && IsSeparator(s[i], alsoComma)) ++i;
  const std::size_t start = i;
  while (i < s.size() && !IsSeparator(s[i], alsoComma)) ++i;
  const std::string_view word = s.substr(start, i - start);
  while (i < s.size() && IsSeparator(s[i], alsoComma)) ++i;
  s.remove_prefix(i);
  return word;
}

TSkypeControl::TSkypeControl(platform::ApplicationWindow& application) : application_(application) {
  platform::Desktop& desktop = application_.GetDesktop();
  attachMessageId_ = desktop.RegisterMessage(kAttachMessageName);
  discoverMessageId_ = desktop.RegisterMessage(kDiscoverMessageName);
  if (attachMessageId_ != 0 && discoverMessageId_ != 0) {
    hookToken_ =
        application_.HookMainWindow([this](platform::TMessage& m) { return WindowHook(m); });
    hooked_ = true;
  }
}

TSkypeControl::~TSkypeControl() {
  if (hooked_) application_.UnhookMainWindow(hookToken_);
}

void TSkypeControl::Raise(const TNotifyEvent& event) {
  Fire(event, *this);
}

void TSkypeControl::Attach(std::int32_t protocolNumber) {
  ProtocolNumber = protocolNumber;
  application_.GetDesktop().SendNotify(platform::kHwndBroadcast, discoverMessageId_,
                                       application_.Handle(), 0);
}

bool TSkypeControl::SendCommand(std::string_view text) {
  if (text.empty() || !attached_) return false;
  // Sized to the command: a chat message may be far longer than a fixed buffer.
  std::string payload(text);
  payload.push_back('\0');
  platform::CopyDataStruct data;
  data.dwData = 0;
  data.cbData = static_cast<std::uint32_t>(payload.size());
  data.lpData = payload.data();
  platform::Desktop& desktop = application_.GetDesktop();
  if (desktop.Send(skypeWindow_, platform::kWmCopyData, application_.Handle(),
                   reinterpret_cast<platform::LParam>(&data)) != 0 ||
      desktop.IsWindow(skypeWindow_)) {
    return true;
  }
  // The client has gone without a word: nothing sent from now on would arrive.
  attached_ = false;
  Raise(OnClientGone);
  return false;
}

bool TSkypeControl::WindowHook(platform::TMessage& message) {
  if (message.Msg == platform::kWmCopyData && message.wParam == skypeWindow_) {
    ReceiveLine(reinterpret_cast<const platform::CopyDataStruct*>(message.lParam));
    message.Result = 1;
    return true;
  }
  if (message.Msg != attachMessageId_) return false;
  switch (message.lParam) {
    case kAttachSuccess:
      skypeWindow_ = message.wParam;
      message.Result = 1;
      attached_ = true;
      SendCommand("NAME " + IdentName);
      SendCommand("PROTOCOL " + std::to_string(ProtocolNumber));
      Raise(OnAttachSuccess);
      return true;
    case kAttachPendingAuthorization:
      message.Result = 1;
      Raise(OnAttachPending);
      return true;
    case kAttachRefused:
      message.Result = 1;
      Raise(OnAttachRefused);
      return true;
    case kAttachNotAvailable:
      message.Result = 1;
      Raise(OnAPINotAvailable);
      return true;
    case kAttachApiAvailable:
      message.Result = 1;
      if (AutoReAttach) Attach(kRequestedProtocol);
      Raise(OnAPIAvailable);
      return true;
    default:
      return false;
  }
}

void TSkypeControl::ReceiveLine(const platform::CopyDataStruct* data) {
  const std::string line = platform::CopiedLine(data);
  Fire(OnCopyData, line);
  std::string_view rest = line;
  const std::string_view keyword = NextWord(rest);
  DispatchNotification(keyword, rest);
}

void TSkypeControl::ReportNotSupported(const std::string& message) {
  Fire(OnNotSupportedError, message);
}

void TSkypeControl::CheckIncoming(Vocabulary v, int ordinal, std::string_view prefix,
                                  std::string_view word, std::string_view middle) {
  if (IsSupported(v, ordinal, ProtocolNumber)) return;
  std::string message(prefix);
  message += '"';
  message += word;
  message += '"';
  message += middle;
  message += std::to_string(ProtocolNumber) + ")";
  ReportNotSupported(message);
}

void TSkypeControl::SearchResult(TSkypeSearchType type, std::string_view rest) {
  TStringList list;
  while (!rest.empty()) {
    const std::string_view word = NextWord(rest, true);
    if (!word.empty()) list.emplace_back(word);
  }
  CheckIncoming(Vocabulary::kSearchType, type, "Search result of type ", WireWord(type),
                " should not have been received (Protocol ");
  Fire(OnSearchResult, type, std::move(list));
}

void TSkypeControl::DispatchNotification(std::string_view keyword, std::string_view rest) {
  // The lists a search answers with, one keyword for each kind of search.
  static constexpr std::pair<std::string_view, TSkypeSearchType> kSearchReplies[] = {
      {"USERS", stUsers},       {"FRIENDS", stFriends},
      {"CALLS", stCalls},       {"MISSEDCALLS", stMissedCalls},
      {"MESSAGES", stMessages}, {"MISSEDMESSAGES", stMissedMessages},
      {"CHATS", stChats},       {"CHATMESSAGES", stChatMsgs},
  };
  if (keyword.empty()) return;
  for (const auto& [word, type] : kSearchReplies) {
    if (keyword == word) return SearchResult(type, rest);
  }
  if (!DispatchObjectProperty(keyword, rest)) DispatchClientState(keyword, rest);
}

bool TSkypeControl::DispatchObjectProperty(std::string_view keyword, std::string_view rest) {
  if (keyword == "USER") {
    const std::string_view name = NextWord(rest);
    const std::string_view word = NextWord(rest);
    if (name.empty()) return true;
    const auto property = word.empty() ? upHandle : WordToOrdinal<TSkypeUserProperty>(word);
    CheckIncoming(Vocabulary::kUserProperty, property, "Received user property ", word);
    Fire(OnUserInfo, std::string(name), property, std::string(rest));
  } else if (keyword == "CHAT") {
    const std::string_view name = NextWord(rest);
    const std::string_view word = NextWord(rest);
    if (name.empty()) return true;
    const auto property = WordToOrdinal<TSkypeChatProperty>(word);
    CheckIncoming(Vocabulary::kChatProperty, property, "Received chat property ", word);
    Fire(OnChatInfo, std::string(name), property, std::string(rest));
  } else if (keyword == "CALL" || keyword == "MESSAGE" || keyword == "CHATMESSAGE") {
    const std::int32_t id = IntegerOr(NextWord(rest), -1);
    const std::string_view word = NextWord(rest);
    if (id < 0) return true;
    if (keyword == "CALL") {
      const auto property = WordToOrdinal<TSkypeCallProperty>(word);
      CheckIncoming(Vocabulary::kCallProperty, property, "Received call property ", word);
      Fire(OnCallInfo, id, property, std::string(rest));
    } else if (keyword == "MESSAGE") {
      const auto property = WordToOrdinal<TSkypeMessageProperty>(word);
      CheckIncoming(Vocabulary::kMessageProperty, property, "Received message property ", word);
      Fire(OnMessageInfo, id, property, std::string(rest));
    } else {
      const auto property = WordToOrdinal<TSkypeChatMsgProperty>(word);
      CheckIncoming(Vocabulary::kChatMsgProperty, property, "Received chatmessage property ", word);
      Fire(OnChatMsgInfo, id, property, std::string(rest));
    }
  } else {
    return false;
  }
  return true;
}

void TSkypeControl::DispatchClientState(std::string_view keyword, std::string_view rest) {
  if (keyword == "ERROR") {
    const std::int32_t code = IntegerOr(NextWord(rest), 0);
    if (code > 0) Fire(OnError, code, std::string(rest));
  } else if (keyword == "USERSTATUS") {
    const std::string_view word = NextWord(rest);
    if (word.empty()) return;
    const auto status = WordToOrdinal<TSkypeUserStatus>(word);
    CheckIncoming(Vocabulary::kUserStatus, status, "Received Userstatus ", word);
    Fire(OnUserStatus, status);
  } else if (keyword == "CONNSTATUS") {
    const std::string_view word = NextWord(rest);
    if (word.empty()) return;
    const auto status = WordToOrdinal<TSkypeConnStatus>(word);
    CheckIncoming(Vocabulary::kConnStatus, status, "Received Connstatus ", word);
    Fire(OnConnStatus, status);
  } else if (keyword == "NAME") {
    Fire(OnName, std::string(rest));
  } else if (keyword == "PROTOCOL") {
    ProtocolNumber = IntegerOr(NextWord(rest), 1);
    Fire(OnProtocol, ProtocolNumber);
  } else if (keyword == "PONG") {
    Raise(OnPong);
  } else if (keyword == "CURRENTUSERHANDLE") {
    const std::string_view handle = NextWord(rest);
    if (!handle.empty()) Fire(OnCurrentUserHandle, std::string(handle));
  } else if (keyword == "CALLHISTORYCHANGED") {
    Raise(OnCallHistoryChanged);
  } else if (keyword == "IMHISTORYCHANGED") {
    Raise(OnIMHistoryChanged);
  } else if (keyword == "AUDIO_IN") {
    Fire(OnAudioInInfo, std::string(NextWord(rest)));
  } else if (keyword == "AUDIO_OUT") {
    Fire(OnAudioOutInfo, std::string(NextWord(rest)));
  } else if (keyword == "MUTE") {
    const std::string_view word = NextWord(rest);
    if (!word.empty()) Fire(OnMuteInfo, word == "ON");
  } else if (keyword == "PRIVILEGE") {
    const std::string_view word1 = NextWord(rest);
    const std::string_view word2 = NextWord(rest);
    if (word1.empty()) return;
    const auto privilege = WordToOrdinal<TSkypePrivilege>(word1);
    CheckIncoming(Vocabulary::kPrivilege, privilege, "Received privilege info ", word1);
    if (!word2.empty()) Fire(OnPrivilegeInfo, privilege, word2 == "TRUE");
  } else if (keyword == "PROFILE") {
    const std::string_view word1 = NextWord(rest);
    const std::string_view word2 = NextWord(rest);
    if (word1.empty()) return;
    const auto field = WordToOrdinal<TSkypeProfile>(word1);
    CheckIncoming(Vocabulary::kProfile, field, "Received profile info ", word1);
    if (!word2.empty()) Fire(OnProfileInfo, field, std::string(word2));
  } else if (keyword == "SKYPEVERSION") {
    const std::string_view version = NextWord(rest);
    if (!version.empty()) Fire(OnVersionInfo, std::string(version));
  }
}

void TSkypeControl::Search(TSkypeSearchType searchType, std::string_view target) {
  if (!IsSupported(searchType, ProtocolNumber)) {
    ReportNotSupported("Searchtype \"" + std::string(WireWord(searchType)) +
                       "\" not supported (Protocol " + std::to_string(ProtocolNumber) + ")");
    return;
  }
  SendCommand("SEARCH " + std::string(WireWord(searchType)) + " " + std::string(target));
}

void TSkypeControl::GetChatMessageProperty(std::int32_t chatMsgId, TSkypeChatMsgProperty property) {
  if (!IsSupported(property, ProtocolNumber)) {
    ReportNotSupported("Chatmessage property \"" + std::string(WireWord(property)) +
                       "\" not supported (Protocol " + std::to_string(ProtocolNumber) + ")");
    return;
  }
  SendCommand("GET CHATMESSAGE " + std::to_string(chatMsgId) + " " +
              std::string(WireWord(property)));
}

bool TSkypeControl::SendChatMessage(std::string_view userHandle, std::string_view text) {
  return SendCommand("MESSAGE " + std::string(userHandle) + " " + std::string(text));
}

}  // namespace chatlink
