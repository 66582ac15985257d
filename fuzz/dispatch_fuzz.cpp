// Feeds arbitrary lines from an attached client through the link's receive path: the window
// hook, the cut at the zero byte or the byte count, the keyword split, the dispatcher with its
// support checks, and every event bound. The window's own handling of the events (pending
// records, tab lines) is not driven here. The first byte picks the protocol number in force.
#include <cstddef>
#include <cstdint>
#include <string>

#include "chatlink/skype_control.h"

namespace {

struct Harness {
  std::unique_ptr<platform::Desktop> desktop = platform::MakeInProcessDesktop();
  platform::ApplicationWindow app{*desktop, "Parlavant"};
  chatlink::TSkypeControl link{app};
  platform::Hwnd client =
      desktop->MakeWindow("client", [](platform::Hwnd, platform::MsgId, platform::WParam,
                                       platform::LParam) { return platform::LResult{1}; });
  std::size_t sink = 0;

  Harness() {
    using namespace chatlink;
    auto s = [this](const std::string& v) { sink += v.size(); };
    link.OnError = [=](int, const std::string& d) { s(d); };
    link.OnUserStatus = [this](TSkypeUserStatus v) { sink += v; };
    link.OnUserInfo = [=](const std::string& n, TSkypeUserProperty, const std::string& d) {
      s(n);
      s(d);
    };
    link.OnName = s;
    link.OnProtocol = [this](int n) { sink += static_cast<std::size_t>(n); };
    link.OnPong = [this](TSkypeControl&) { ++sink; };
    link.OnCallInfo = [=](int, TSkypeCallProperty, const std::string& d) { s(d); };
    link.OnMessageInfo = [=](int, TSkypeMessageProperty, const std::string& d) { s(d); };
    link.OnConnStatus = [this](TSkypeConnStatus v) { sink += v; };
    link.OnCurrentUserHandle = s;
    link.OnSearchResult = [this](TSkypeSearchType, TStringList list) { sink += list.size(); };
    link.OnCallHistoryChanged = [this](TSkypeControl&) { ++sink; };
    link.OnIMHistoryChanged = [this](TSkypeControl&) { ++sink; };
    link.OnAudioInInfo = s;
    link.OnAudioOutInfo = s;
    link.OnMuteInfo = [this](bool m) { sink += m; };
    link.OnPrivilegeInfo = [this](TSkypePrivilege, bool g) { sink += g; };
    link.OnProfileInfo = [=](TSkypeProfile, const std::string& d) { s(d); };
    link.OnVersionInfo = s;
    link.OnChatInfo = [=](const std::string& n, TSkypeChatProperty, const std::string& d) {
      s(n);
      s(d);
    };
    link.OnChatMsgInfo = [=](int, TSkypeChatMsgProperty, const std::string& d) { s(d); };
    link.OnNotSupportedError = s;
    link.OnCopyData = s;
    desktop->Send(app.Handle(), link.AttachMessageId(), client, chatlink::kAttachSuccess);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness h;
  if (size == 0) return 0;
  h.link.ProtocolNumber = static_cast<std::int8_t>(data[0]);
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  platform::CopyDataStruct cds{0, static_cast<std::uint32_t>(size - 1), bytes};
  h.desktop->Send(h.app.Handle(), platform::kWmCopyData, h.client,
                  reinterpret_cast<platform::LParam>(&cds));
  return 0;
}
