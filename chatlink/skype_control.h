#pragma once

// TSkypeControl: the link to the chat client on the same desktop. It finds the client by a
// discovery broadcast, attaches, identifies the program, sends text commands as WM_COPYDATA
// and turns every line the client sends into one of its events.
//
// Everything runs on the thread of the application window. Events are raised while the client's
// message is being delivered, and a command sent from a handler can make the link raise further
// events (the reply among them) before the send returns: handlers must tolerate being entered
// again. The link itself raises no exceptions; one thrown by a handler leaves the dispatch and
// reaches the application window's exception handler.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "chatlink/skype_control_const.h"
#include "platform/app_window.h"

namespace chatlink {

class TSkypeControl;
using TStringList = std::vector<std::string>;

using TNotifyEvent = std::function<void(TSkypeControl& Sender)>;
using TSkypeErrorNotify = std::function<void(std::int32_t Code, const std::string& Description)>;
using TSkypeUserStatusNotify = std::function<void(TSkypeUserStatus UserStatus)>;
using TSkypeUserNotify = std::function<void(
    const std::string& Username, TSkypeUserProperty UserProperty, const std::string& data)>;
using TSkypeNameNotify = std::function<void(const std::string& Name)>;
using TSkypeProtocolNotify = std::function<void(std::int32_t ProtocolNumber)>;
using TSkypeCallNotify = std::function<void(std::int32_t CallId, TSkypeCallProperty CallProperty,
                                            const std::string& data)>;
using TSkypeMessageNotify = std::function<void(
    std::int32_t MessageID, TSkypeMessageProperty MessageProperty, const std::string& data)>;
using TSkypeConnStatusNotify = std::function<void(TSkypeConnStatus ConnStatus)>;
using TSkypeCurrentUserHandleNotify = std::function<void(const std::string& UserHandle)>;
// The list is the handler's from the call on.
using TSkypeSearchNotify = std::function<void(TSkypeSearchType SearchType, TStringList aList)>;
using TSkypeAudioNotify = std::function<void(const std::string& Device)>;
using TSkypeMuteNotify = std::function<void(bool Muted)>;
using TSkypePrivilegeNotify = std::function<void(TSkypePrivilege priv, bool granted)>;
using TSkypeProfileNotify = std::function<void(TSkypeProfile priv, const std::string& data)>;
using TSkypeVersionNotify = std::function<void(const std::string& Version)>;
using TSkypeChatNotify = std::function<void(
    const std::string& Chatname, TSkypeChatProperty ChatProperty, const std::string& data)>;
using TSkypeChatMsgNotify = std::function<void(
    std::int32_t ChatMsgID, TSkypeChatMsgProperty ChatMsgProperty, const std::string& data)>;
using TNotSupportedErrorNotify = std::function<void(const std::string& errormsg)>;
using TSkypeCopyData = std::function<void(const std::string& rawdata)>;

// Takes one word off the front of `s`: leading separators skipped, the word, then the separators
// after it; `s` keeps what follows. Separators are the space, and with `alsoComma` the comma too.
std::string_view NextWord(std::string_view& s, bool alsoComma = false);

class TSkypeControl {
 public:
  // Registers the two attach messages and, when both succeed, hooks the application window.
  explicit TSkypeControl(platform::ApplicationWindow& application);
  ~TSkypeControl();
  TSkypeControl(const TSkypeControl&) = delete;
  TSkypeControl& operator=(const TSkypeControl&) = delete;

  // Records the protocol version to ask for and broadcasts the discovery message.
  void Attach(std::int32_t protocolNumber);
  // Sends one command line to the attached client; dropped while not attached or when empty.
  // False when it did not reach the client: dropped, or the client's window has gone (then the
  // link is no longer attached, and OnClientGone is raised, until the client attaches again).
  bool SendCommand(std::string_view text);
  // Offered every message of the application window first; true when handled.
  bool WindowHook(platform::TMessage& message);

  void Search(TSkypeSearchType searchType, std::string_view target);
  void GetChatMessageProperty(std::int32_t chatMsgId, TSkypeChatMsgProperty property);
  bool SendChatMessage(std::string_view userHandle, std::string_view text);

  // Routes one incoming line, already split into its keyword and the rest.
  void DispatchNotification(std::string_view keyword, std::string_view rest);

  bool Hooked() const { return hooked_; }
  platform::MsgId AttachMessageId() const { return attachMessageId_; }
  platform::MsgId DiscoverMessageId() const { return discoverMessageId_; }
  platform::Hwnd SkypeWindow() const { return skypeWindow_; }
  bool Attached() const { return attached_; }

  // Published.
  std::string IdentName;
  bool AutoReAttach = false;
  std::int32_t ProtocolNumber = -1;

  TNotifyEvent OnAttachSuccess;
  TNotifyEvent OnAttachPending;
  TNotifyEvent OnAttachRefused;
  TNotifyEvent OnAPINotAvailable;
  TNotifyEvent OnAPIAvailable;
  TSkypeErrorNotify OnError;
  TSkypeUserStatusNotify OnUserStatus;
  TSkypeUserNotify OnUserInfo;
  TSkypeNameNotify OnName;
  TSkypeProtocolNotify OnProtocol;
  TNotifyEvent OnPong;
  TSkypeCallNotify OnCallInfo;
  TSkypeMessageNotify OnMessageInfo;
  TSkypeConnStatusNotify OnConnStatus;
  TSkypeCurrentUserHandleNotify OnCurrentUserHandle;
  TSkypeSearchNotify OnSearchResult;
  TNotifyEvent OnCallHistoryChanged;
  TNotifyEvent OnIMHistoryChanged;
  TSkypeAudioNotify OnAudioInInfo;
  TSkypeAudioNotify OnAudioOutInfo;
  TSkypeMuteNotify OnMuteInfo;
  TSkypePrivilegeNotify OnPrivilegeInfo;
  TSkypeProfileNotify OnProfileInfo;
  TSkypeVersionNotify OnVersionInfo;
  TSkypeChatNotify OnChatInfo;
  TSkypeChatMsgNotify OnChatMsgInfo;
  TNotSupportedErrorNotify OnNotSupportedError;
  // The client's window was gone when a command was sent to it.
  TNotifyEvent OnClientGone;
  TSkypeCopyData OnCopyData;

 private:
  void Raise(const TNotifyEvent& event);
  void ReceiveLine(const platform::CopyDataStruct* data);
  void ReportNotSupported(const std::string& message);
  // The warning for an incoming value that the protocol in force does not know.
  void CheckIncoming(Vocabulary v, int ordinal, std::string_view prefix, std::string_view word,
                     std::string_view middle = " should not have been reveived (Protocol ");
  void SearchResult(TSkypeSearchType type, std::string_view rest);
  // The properties of one user, chat, call, message or chat message; false for other keywords.
  bool DispatchObjectProperty(std::string_view keyword, std::string_view rest);
  // Everything else: errors, the user's and the connection's status, the client's settings.
  void DispatchClientState(std::string_view keyword, std::string_view rest);

  platform::ApplicationWindow& application_;
  int hookToken_ = 0;
  bool hooked_ = false;
  platform::MsgId attachMessageId_ = 0;
  platform::MsgId discoverMessageId_ = 0;
  platform::Hwnd skypeWindow_ = 0;
  bool attached_ = false;
};

}  // namespace chatlink
