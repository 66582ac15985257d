#include "chatlink/skype_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/error.h"

namespace chatlink {
namespace {

using platform::CopyDataStruct;
using platform::Hwnd;
using platform::LParam;
using platform::LResult;
using platform::MsgId;
using platform::WParam;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The client's side of the desktop API, in the same process: records what reaches its window
// and can answer from inside the program's send, as the real client does.
class FakeClient {
 public:
  explicit FakeClient(platform::Desktop& desktop) : desktop_(desktop) {
    attach_ = desktop.RegisterMessage(kAttachMessageName);
    discover_ = desktop.RegisterMessage(kDiscoverMessageName);
    window_ = desktop.MakeWindow("client", [this](Hwnd, MsgId msg, WParam w, LParam l) -> LResult {
      if (msg == discover_) {
        discoveries.push_back(w);
        return 0;
      }
      if (msg != platform::kWmCopyData) return 0;
      const auto* cds = reinterpret_cast<const CopyDataStruct*>(l);
      payloads.emplace_back(static_cast<const char*>(cds->lpData), cds->cbData);
      tags.push_back(cds->dwData);
      senders.push_back(w);
      if (onCommand) onCommand(Lines().back());
      return 1;
    });
  }

  Hwnd Window() const { return window_; }
  LResult Status(Hwnd program, LParam status, Hwnd from = 0) {
    return desktop_.Send(program, attach_, from ? from : window_, status);
  }
  LResult Line(Hwnd program, const std::string& line, Hwnd from = 0) {
    std::string payload = line + '\0';
    return Raw(program, payload, from);
  }
  LResult Raw(Hwnd program, const std::string& payload, Hwnd from = 0) {
    CopyDataStruct cds{0, static_cast<std::uint32_t>(payload.size()), payload.data()};
    return desktop_.Send(program, platform::kWmCopyData, from ? from : window_,
                         reinterpret_cast<LParam>(&cds));
  }
  // Received commands without their terminating zero byte.
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    for (const auto& p : payloads) out.push_back(p.substr(0, p.find('\0')));
    return out;
  }

  std::vector<std::string> payloads;
  std::vector<std::uintptr_t> tags;
  std::vector<WParam> senders;
  std::vector<WParam> discoveries;
  std::function<void(const std::string&)> onCommand;

 private:
  platform::Desktop& desktop_;
  MsgId attach_ = 0, discover_ = 0;
  Hwnd window_ = 0;
};

// Writes every event of the link as one line, so a test can compare whole sequences.
void RecordAll(TSkypeControl& link, std::vector<std::string>& log) {
  auto words = [](const TStringList& list) {
    std::string s;
    for (const auto& w : list) s += (s.empty() ? "" : "|") + w;
    return s;
  };
  auto b = [](const std::string& s) { return "[" + s + "]"; };
  link.OnAttachSuccess = [&](TSkypeControl&) { log.push_back("AttachSuccess"); };
  link.OnAttachPending = [&](TSkypeControl&) { log.push_back("AttachPending"); };
  link.OnAttachRefused = [&](TSkypeControl&) { log.push_back("AttachRefused"); };
  link.OnAPINotAvailable = [&](TSkypeControl&) { log.push_back("APINotAvailable"); };
  link.OnAPIAvailable = [&](TSkypeControl&) { log.push_back("APIAvailable"); };
  link.OnError = [&, b](int c, const std::string& d) {
    log.push_back("Error " + std::to_string(c) + " " + b(d));
  };
  link.OnUserStatus = [&](TSkypeUserStatus s) { log.push_back("UserStatus " + std::to_string(s)); };
  link.OnUserInfo = [&, b](const std::string& n, TSkypeUserProperty p, const std::string& d) {
    log.push_back("User " + b(n) + " " + std::to_string(p) + " " + b(d));
  };
  link.OnName = [&, b](const std::string& n) { log.push_back("Name " + b(n)); };
  link.OnProtocol = [&](int n) { log.push_back("Protocol " + std::to_string(n)); };
  link.OnPong = [&](TSkypeControl&) { log.push_back("Pong"); };
  link.OnCallInfo = [&, b](int id, TSkypeCallProperty p, const std::string& d) {
    log.push_back("Call " + std::to_string(id) + " " + std::to_string(p) + " " + b(d));
  };
  link.OnMessageInfo = [&, b](int id, TSkypeMessageProperty p, const std::string& d) {
    log.push_back("Message " + std::to_string(id) + " " + std::to_string(p) + " " + b(d));
  };
  link.OnConnStatus = [&](TSkypeConnStatus s) { log.push_back("ConnStatus " + std::to_string(s)); };
  link.OnCurrentUserHandle = [&, b](const std::string& h) { log.push_back("CurrentUser " + b(h)); };
  link.OnSearchResult = [&, words](TSkypeSearchType t, TStringList l) {
    log.push_back("Search " + std::to_string(t) + " [" + words(l) + "]");
  };
  link.OnCallHistoryChanged = [&](TSkypeControl&) { log.push_back("CallHistoryChanged"); };
  link.OnIMHistoryChanged = [&](TSkypeControl&) { log.push_back("IMHistoryChanged"); };
  link.OnAudioInInfo = [&, b](const std::string& d) { log.push_back("AudioIn " + b(d)); };
  link.OnAudioOutInfo = [&, b](const std::string& d) { log.push_back("AudioOut " + b(d)); };
  link.OnMuteInfo = [&](bool m) { log.push_back(std::string("Mute ") + (m ? "1" : "0")); };
  link.OnPrivilegeInfo = [&](TSkypePrivilege p, bool g) {
    log.push_back("Privilege " + std::to_string(p) + (g ? " 1" : " 0"));
  };
  link.OnProfileInfo = [&, b](TSkypeProfile p, const std::string& d) {
    log.push_back("Profile " + std::to_string(p) + " " + b(d));
  };
  link.OnVersionInfo = [&, b](const std::string& v) { log.push_back("Version " + b(v)); };
  link.OnChatInfo = [&, b](const std::string& n, TSkypeChatProperty p, const std::string& d) {
    log.push_back("Chat " + b(n) + " " + std::to_string(p) + " " + b(d));
  };
  link.OnChatMsgInfo = [&, b](int id, TSkypeChatMsgProperty p, const std::string& d) {
    log.push_back("ChatMsg " + std::to_string(id) + " " + std::to_string(p) + " " + b(d));
  };
  link.OnNotSupportedError = [&](const std::string& m) { log.push_back("NotSupported " + m); };
}

class LinkTest : public ::testing::Test {
 protected:
  LinkTest()
      : desktop(platform::MakeInProcessDesktop()), app(*desktop, "Parlavant"), client(*desktop) {
    app.SetExceptionHandler([this](std::exception_ptr e) {
      errors.push_back(platform::ApplicationWindow::MessageOf(e));
    });
    link = std::make_unique<TSkypeControl>(app);
    link->IdentName = "Parlavant";
  }
  // Attached to the fake client with protocol 4, traffic so far forgotten.
  void Attach() {
    link->Attach(4);
    client.Status(app.Handle(), kAttachSuccess);
    client.payloads.clear();
    log.clear();
  }

  std::unique_ptr<platform::Desktop> desktop;
  platform::ApplicationWindow app;
  FakeClient client;
  std::unique_ptr<TSkypeControl> link;
  std::vector<std::string> log;
  std::vector<std::string> errors;
};

TEST_F(LinkTest, StartsIdleAndHooked) {
  EXPECT_TRUE(link->Hooked());
  EXPECT_NE(link->AttachMessageId(), 0u);
  EXPECT_NE(link->DiscoverMessageId(), 0u);
  EXPECT_EQ(link->SkypeWindow(), 0u);
  EXPECT_FALSE(link->Attached());
  EXPECT_FALSE(link->AutoReAttach);
  EXPECT_EQ(link->ProtocolNumber, -1);
}

TEST(LinkInert, FailedRegistrationLeavesTheLinkDeaf) {
  auto desktop = platform::MakeInProcessDesktop(true);
  platform::ApplicationWindow app(*desktop, "Parlavant");
  TSkypeControl link(app);
  std::vector<std::string> log;
  RecordAll(link, log);
  EXPECT_FALSE(link.Hooked());
  EXPECT_EQ(link.AttachMessageId(), 0u);
  EXPECT_EQ(desktop->Send(app.Handle(), 0, 0x10000, kAttachSuccess), 0);
  EXPECT_FALSE(link.Attached());
  EXPECT_THAT(log, IsEmpty());
}

TEST_F(LinkTest, CommandsBeforeTheFirstSuccessAreDroppedWhileAttachStillBroadcasts) {
  link->SendCommand("PING");
  link->Search(stFriends, "");
  link->Attach(4);
  link->Attach(3);
  EXPECT_THAT(client.discoveries, ElementsAre(app.Handle(), app.Handle()));
  EXPECT_EQ(link->ProtocolNumber, 3);
  client.Status(app.Handle(), kAttachPendingAuthorization);
  link->SendCommand("PING");
  EXPECT_THAT(client.payloads, IsEmpty());
}

TEST_F(LinkTest, SuccessIdentifiesTheProgramBeforeRaisingTheEvent) {
  link->OnAttachSuccess = [&](TSkypeControl& sender) {
    EXPECT_EQ(&sender, link.get());
    EXPECT_THAT(client.Lines(), ElementsAre("NAME Parlavant", "PROTOCOL 4"));
    sender.Search(stFriends, "");
  };
  link->Attach(4);
  EXPECT_EQ(client.Status(app.Handle(), kAttachSuccess), 1);
  EXPECT_TRUE(link->Attached());
  EXPECT_EQ(link->SkypeWindow(), client.Window());
  EXPECT_THAT(client.Lines(), ElementsAre("NAME Parlavant", "PROTOCOL 4", "SEARCH FRIENDS "));
  // One zero byte ends each payload and is counted; dwData is 0; wParam is the program's window.
  EXPECT_EQ(client.payloads[0], std::string("NAME Parlavant\0", 15));
  EXPECT_THAT(client.tags, ElementsAre(0u, 0u, 0u));
  EXPECT_THAT(client.senders, ElementsAre(app.Handle(), app.Handle(), app.Handle()));
}

TEST_F(LinkTest, OtherStatusesRaiseTheirEventsAndChangeNothing) {
  RecordAll(*link, log);
  link->Attach(4);
  EXPECT_EQ(client.Status(app.Handle(), kAttachPendingAuthorization), 1);
  EXPECT_EQ(client.Status(app.Handle(), kAttachRefused), 1);
  EXPECT_EQ(client.Status(app.Handle(), kAttachNotAvailable), 1);
  EXPECT_EQ(client.Status(app.Handle(), 4), 0);  // not a status: left to the window
  EXPECT_THAT(log, ElementsAre("AttachPending", "AttachRefused", "APINotAvailable"));
  EXPECT_FALSE(link->Attached());

  client.Status(app.Handle(), kAttachSuccess);
  client.Status(app.Handle(), kAttachRefused, 0x7777);
  EXPECT_TRUE(link->Attached());
  EXPECT_EQ(link->SkypeWindow(), client.Window());
}

TEST_F(LinkTest, ApiAnnouncementReattachesOnlyWithAutoReAttach) {
  RecordAll(*link, log);
  Attach();
  client.discoveries.clear();
  client.Line(app.Handle(), "PROTOCOL 2");
  EXPECT_EQ(client.Status(app.Handle(), kAttachApiAvailable), 1);
  EXPECT_THAT(client.discoveries, IsEmpty());
  EXPECT_EQ(link->ProtocolNumber, 2);

  link->AutoReAttach = true;
  link->OnAPIAvailable = [&](TSkypeControl&) {
    // The discovery went out before the event.
    EXPECT_THAT(client.discoveries, ElementsAre(app.Handle()));
  };
  client.Status(app.Handle(), kAttachApiAvailable);
  EXPECT_EQ(link->ProtocolNumber, 4);
  EXPECT_THAT(client.discoveries, ElementsAre(app.Handle()));
}

TEST_F(LinkTest, EverySuccessIdentifiesAgainWithTheProtocolInForce) {
  int successes = 0;
  link->OnAttachSuccess = [&](TSkypeControl&) { ++successes; };
  link->IdentName = "";
  Attach();
  client.Line(app.Handle(), "PROTOCOL 3");
  FakeClient second(*desktop);
  second.Status(app.Handle(), kAttachSuccess);
  EXPECT_EQ(successes, 2);
  EXPECT_EQ(link->SkypeWindow(), second.Window());
  EXPECT_THAT(second.Lines(), ElementsAre("NAME ", "PROTOCOL 3"));
  // Lines from the old client window are no longer the link's.
  EXPECT_EQ(client.Line(app.Handle(), "PROTOCOL 1"), 0);
  EXPECT_EQ(link->ProtocolNumber, 3);
}

TEST_F(LinkTest, IncomingPayloadEndsAtItsFirstZeroByteOrItsCount) {
  std::vector<std::string> raw;
  link->OnCopyData = [&](const std::string& line) { raw.push_back(line); };
  RecordAll(*link, log);
  link->OnCopyData = [&](const std::string& line) { raw.push_back(line); };
  Attach();
  EXPECT_EQ(client.Raw(app.Handle(), std::string("\0PONG", 5)), 1);
  EXPECT_EQ(client.Raw(app.Handle(), "PONG"), 1);  // no zero byte at all
  EXPECT_EQ(client.Raw(app.Handle(), std::string("NAME ab\0cd", 10)), 1);
  // The count ends the line even where the bytes beyond it hold no zero byte.
  const std::string longer = "NAME counted|beyond the count";
  CopyDataStruct counted{0, 12, longer.data()};
  EXPECT_EQ(desktop->Send(app.Handle(), platform::kWmCopyData, client.Window(),
                          reinterpret_cast<LParam>(&counted)),
            1);
  EXPECT_THAT(raw, ElementsAre("", "PONG", "NAME ab", "NAME counted"));
  EXPECT_THAT(log, ElementsAre("Pong", "Name [ab]", "Name [counted]"));
  // From a window other than the client's: not the link's business.
  EXPECT_EQ(client.Line(app.Handle(), "PONG", 0x4242), 0);
  EXPECT_EQ(raw.size(), 4u);
}

TEST_F(LinkTest, TheRawLineIsRaisedBeforeItsEvent) {
  RecordAll(*link, log);
  link->OnCopyData = [&](const std::string& line) { log.push_back("CopyData " + line); };
  Attach();
  client.Line(app.Handle(), "PONG");
  EXPECT_THAT(log, ElementsAre("CopyData PONG", "Pong"));
}

TEST_F(LinkTest, ADestroyedLinkLeavesTheWindowAlone) {
  Attach();
  const MsgId attach = link->AttachMessageId();
  link.reset();
  EXPECT_EQ(client.Status(app.Handle(), kAttachSuccess), 0);
  EXPECT_EQ(client.Line(app.Handle(), "PONG"), 0);
  EXPECT_EQ(desktop->Send(app.Handle(), attach, client.Window(), kAttachRefused), 0);
}

// The in-process desktop, except that one message name cannot be registered.
class OneNameFails final : public platform::Desktop {
 public:
  explicit OneNameFails(std::string_view name) : failing_(name) {}
  MsgId RegisterMessage(std::string_view name) override {
    return name == failing_ ? 0 : inner_->RegisterMessage(name);
  }
  Hwnd MakeWindow(std::string_view title, platform::WindowProc proc) override {
    return inner_->MakeWindow(title, std::move(proc));
  }
  bool DestroyWindow(Hwnd w) override { return inner_->DestroyWindow(w); }
  int GetTitle(Hwnd w, char* buffer, int n) override { return inner_->GetTitle(w, buffer, n); }
  bool IsWindow(Hwnd w) override { return inner_->IsWindow(w); }
  bool EnumWindows(const std::function<bool(Hwnd)>& callback) override {
    return inner_->EnumWindows(callback);
  }
  bool SendNotify(Hwnd w, MsgId m, WParam wp, LParam lp) override {
    return inner_->SendNotify(w, m, wp, lp);
  }
  LResult Send(Hwnd w, MsgId m, WParam wp, LParam lp) override {
    return inner_->Send(w, m, wp, lp);
  }
  int EventHandle() const override { return inner_->EventHandle(); }
  void ProcessPending() override { inner_->ProcessPending(); }
  bool WaitAndProcess(int ms) override { return inner_->WaitAndProcess(ms); }

 private:
  std::string failing_;
  std::unique_ptr<platform::Desktop> inner_ = platform::MakeInProcessDesktop();
};

TEST(LinkInert, EitherRegistrationFailingLeavesTheLinkUnhooked) {
  for (std::string_view failing : {kAttachMessageName, kDiscoverMessageName}) {
    SCOPED_TRACE(failing);
    OneNameFails desktop(failing);
    platform::ApplicationWindow app(desktop, "Parlavant");
    TSkypeControl link(app);
    std::vector<std::string> log;
    RecordAll(link, log);
    EXPECT_FALSE(link.Hooked());
    FakeClient client(desktop);
    // Whichever id the link did get, nothing reaches it.
    for (MsgId id : {link.AttachMessageId(), link.DiscoverMessageId()}) {
      if (id != 0) {
        EXPECT_EQ(desktop.Send(app.Handle(), id, client.Window(), kAttachSuccess), 0);
      }
    }
    EXPECT_FALSE(link.Attached());
    EXPECT_EQ(client.Line(app.Handle(), "PONG"), 0);
    EXPECT_THAT(log, IsEmpty());
  }
}

TEST_F(LinkTest, ReplySentWhileTheCommandIsInFlightArrivesBeforeItReturns) {
  Attach();
  client.onCommand = [&](const std::string& command) {
    if (command == "GET CHATMESSAGE 1234 FROM_HANDLE") {
      client.Line(app.Handle(), "CHATMESSAGE 1234 FROM_HANDLE bob");
    }
  };
  std::vector<std::string> seen;
  link->OnChatMsgInfo = [&](int id, TSkypeChatMsgProperty p, const std::string& data) {
    seen.push_back(std::to_string(id) + " " + std::to_string(p) + " " + data);
  };
  link->GetChatMessageProperty(1234, cmFromHandle);
  EXPECT_THAT(seen, ElementsAre("1234 2 bob"));
}

TEST_F(LinkTest, HandlerErrorReachesTheApplicationAndTheLineIsAnsweredZero) {
  link->OnAttachSuccess = [](TSkypeControl&) { throw platform::Error("attach handler failed"); };
  link->Attach(4);
  EXPECT_EQ(client.Status(app.Handle(), kAttachSuccess), 1);
  EXPECT_TRUE(link->Attached());

  std::vector<std::string> events;
  link->OnNotSupportedError = [](const std::string&) { throw platform::Error("warning handler"); };
  link->OnChatMsgInfo = [&](int, TSkypeChatMsgProperty, const std::string& d) {
    if (d == "boom") throw platform::Error("Socket Error # 111\r\nConnection refused.");
    events.push_back(d);
  };
  EXPECT_EQ(client.Line(app.Handle(), "CHATMESSAGE 1 BODY boom"), 0);
  EXPECT_EQ(client.Line(app.Handle(), "CHATMESSAGE 1 SEEN TRUE"), 0);  // event never raised
  EXPECT_EQ(client.Line(app.Handle(), "CHATMESSAGE 1 BODY fine"), 1);
  EXPECT_THAT(events, ElementsAre("fine"));
  EXPECT_THAT(errors, ElementsAre("attach handler failed",
                                  "Socket Error # 111\r\nConnection refused.", "warning handler"));
}

// Counts the live copies of a closure that holds one.
int gLiveClosures = 0;
int gLiveAfterClearing = -1;
struct Counted {
  Counted() { ++gLiveClosures; }
  Counted(const Counted&) { ++gLiveClosures; }
  ~Counted() { --gLiveClosures; }
};

TEST_F(LinkTest, AHandlerMayClearOrRebindItsOwnSlotWhileItRuns) {
  Attach();
  link->OnChatMsgInfo = [this, counted = Counted()](int, TSkypeChatMsgProperty,
                                                    const std::string&) {
    link->OnChatMsgInfo = nullptr;
    // The closure running now must outlive the slot it came from (nothing captured is read
    // from here on).
    gLiveAfterClearing = gLiveClosures;
  };
  client.Line(app.Handle(), "CHATMESSAGE 1 BODY x");
  EXPECT_EQ(gLiveAfterClearing, 1);
  EXPECT_EQ(gLiveClosures, 0);

  // Rebound from inside a nested event while the outer handler still runs.
  std::vector<std::string> seen;
  client.onCommand = [&](const std::string&) {
    client.Line(app.Handle(), "CHATMESSAGE 2 BODY in");
  };
  link->OnChatMsgInfo = [&, counted = Counted()](int id, TSkypeChatMsgProperty,
                                                 const std::string& d) {
    seen.push_back("first " + d);
    if (id == 1) {
      link->GetChatMessageProperty(2, cmBody);  // the nested answer rebinds the slot
      seen.push_back("first still running, " + std::to_string(gLiveClosures) + " alive");
      return;
    }
    link->OnChatMsgInfo = [&](int, TSkypeChatMsgProperty, const std::string& d2) {
      seen.push_back("second " + d2);
    };
  };
  client.Line(app.Handle(), "CHATMESSAGE 1 BODY out");
  client.onCommand = nullptr;
  client.Line(app.Handle(), "CHATMESSAGE 3 BODY later");
  EXPECT_THAT(seen,
              ElementsAre("first out", "first in", "first still running, 1 alive", "second later"));
}

TEST_F(LinkTest, LongCommandsGoOutWhole) {
  Attach();
  const std::string text(5000, 'x');
  link->SendChatMessage("bob", text);
  ASSERT_EQ(client.payloads.size(), 1u);
  EXPECT_EQ(client.payloads[0], "MESSAGE bob " + text + '\0');
  link->SendCommand("");
  EXPECT_EQ(client.payloads.size(), 1u);
  // The space before the text is there even when the text is empty.
  link->SendChatMessage("bob", "");
  EXPECT_EQ(client.payloads.back(), std::string("MESSAGE bob \0", 13));
}

TEST_F(LinkTest, OutgoingChecksRefuseWhatTheProtocolLacks) {
  RecordAll(*link, log);
  Attach();
  link->GetChatMessageProperty(1234, cmFromHandle);
  link->GetChatMessageProperty(1234, cmBody);
  link->GetChatMessageProperty(1234, cmSeen);
  link->Search(stFriends, "");
  link->Search(stMessages, "x");
  link->SendChatMessage("bob", "Hello, world ");
  link->ProtocolNumber = 2;
  link->GetChatMessageProperty(7, cmBody);
  link->Search(stMessages, "x");
  EXPECT_THAT(client.Lines(),
              ElementsAre("GET CHATMESSAGE 1234 FROM_HANDLE", "GET CHATMESSAGE 1234 BODY",
                          "SEARCH FRIENDS ", "MESSAGE bob Hello, world ", "SEARCH MESSAGES x"));
  EXPECT_THAT(log,
              ElementsAre("NotSupported Chatmessage property \"SEEN\" not supported (Protocol 4)",
                          "NotSupported Searchtype \"MESSAGES\" not supported (Protocol 4)",
                          "NotSupported Chatmessage property \"BODY\" not supported (Protocol 2)"));
}

TEST(NextWord, SkipsSeparatorsAroundTheWordAndKeepsTheRestByteForByte) {
  std::string_view s = "  BODY  Hi  there ";
  EXPECT_EQ(NextWord(s), "BODY");
  EXPECT_EQ(s, "Hi  there ");
  std::string_view list = "alice, bob,carol,, ";
  EXPECT_EQ(NextWord(list, true), "alice");
  EXPECT_EQ(NextWord(list, true), "bob");
  EXPECT_EQ(NextWord(list, true), "carol");
  EXPECT_EQ(list, "");
  std::string_view empty = "   ";
  EXPECT_EQ(NextWord(empty), "");
  EXPECT_EQ(empty, "");
  std::string_view tabs = "a\tb c";
  EXPECT_EQ(NextWord(tabs), "a\tb");
}

struct Row {
  const char* line;
  int protocol;
  std::vector<std::string> events;
};
void PrintTo(const Row& row, std::ostream* os) {
  *os << '"' << row.line << "\" under " << row.protocol;
}

class DispatchTest : public LinkTest, public ::testing::WithParamInterface<Row> {};

TEST_P(DispatchTest, RaisesTheRowsEvents) {
  RecordAll(*link, log);
  Attach();
  link->ProtocolNumber = GetParam().protocol;
  client.Line(app.Handle(), GetParam().line);
  EXPECT_EQ(log, GetParam().events) << GetParam().line;
}

const std::string kReveived = " should not have been reveived (Protocol ";

INSTANTIATE_TEST_SUITE_P(
    Rows, DispatchTest,
    ::testing::Values(
        Row{"ERROR 7 Invalid command", 4, {"Error 7 [Invalid command]"}},
        Row{"ERROR 0 text", 4, {}}, Row{"ERROR abc", 4, {}},
        Row{"USERSTATUS SKYPEME",
            1,
            {"NotSupported Received Userstatus \"SKYPEME\"" + kReveived + "1)", "UserStatus 8"}},
        Row{"USERSTATUS away", 4, {"UserStatus 0"}}, Row{"USERSTATUS", 4, {}},
        Row{"USER bob FULLNAME Bob  Smith ", 4, {"User [bob] 1 [Bob  Smith ]"}},
        Row{"USER bob", 4, {"User [bob] 0 []"}}, Row{"USER", 4, {}},
        Row{"NAME  two words", 4, {"Name [two words]"}}, Row{"PROTOCOL 3", 4, {"Protocol 3"}},
        Row{"PROTOCOL abc", 4, {"Protocol 1"}}, Row{"PONG extra", 4, {"Pong"}},
        Row{"CALL 5 STATUS INPROGRESS", 4, {"Call 5 8 [INPROGRESS]"}},
        Row{"CALL 5 SEEN",
            4,
            {"NotSupported Received call property \"SEEN\"" + kReveived + "4)", "Call 5 13 []"}},
        Row{"CALL x STATUS y", 4, {}},
        Row{"MESSAGE 3 BODY hi",
            4,
            {"NotSupported Received message property \"BODY\"" + kReveived + "4)",
             "Message 3 8 [hi]"}},
        Row{"MESSAGE 3 BODY hi", 2, {"Message 3 8 [hi]"}},
        Row{"CONNSTATUS ONLINE", 4, {"ConnStatus 3"}}, Row{"CONNSTATUS", 4, {}},
        Row{"CURRENTUSERHANDLE alice extra", 4, {"CurrentUser [alice]"}},
        Row{"CURRENTUSERHANDLE", 4, {}},
        Row{"USERS alice, bob,carol", 4, {"Search 0 [alice|bob|carol]"}},
        Row{"USERS", 4, {"Search 0 []"}}, Row{"FRIENDS bob", 4, {"Search 1 [bob]"}},
        Row{"CALLS 1 2", 4, {"Search 2 [1|2]"}}, Row{"MISSEDCALLS", 4, {"Search 4 []"}},
        Row{"MESSAGES 9",
            4,
            {"NotSupported Search result of type \"MESSAGES\" should not have been received "
             "(Protocol 4)",
             "Search 5 [9]"}},
        Row{"MISSEDMESSAGES", 4, {"Search 6 []"}},
        Row{"CHATS #a",
            2,
            {"NotSupported Search result of type \"CHATS\" should not have been received (Protocol "
             "2)",
             "Search 7 [#a]"}},
        Row{"CHATMESSAGES 1, 2", 4, {"Search 12 [1|2]"}},
        Row{"CALLHISTORYCHANGED", 4, {"CallHistoryChanged"}},
        Row{"IMHISTORYCHANGED", 4, {"IMHistoryChanged"}}, Row{"AUDIO_IN", 4, {"AudioIn []"}},
        Row{"AUDIO_OUT Speakers (USB)", 4, {"AudioOut [Speakers]"}},
        Row{"AUDIO_IN  Mic (USB)", 4, {"AudioIn [Mic]"}},
        Row{"USERS bob, bob,,bob", 4, {"Search 0 [bob|bob|bob]"}}, Row{"USERS,bob", 4, {}},
        Row{"CHATMESSAGE,1 BODY x", 4, {}}, Row{"CHATMESSAGE 12x BODY x", 4, {}},
        Row{"ERROR 7x text", 4, {}}, Row{"PROTOCOL 3x", 4, {"Protocol 1"}},
        Row{"MUTE ON", 4, {"Mute 1"}}, Row{"MUTE OFF", 4, {"Mute 0"}},
        Row{"MUTE on", 4, {"Mute 0"}}, Row{"MUTE", 4, {}},
        Row{"PRIVILEGE SKYPEOUT TRUE", 4, {"Privilege 0 1"}},
        Row{"PRIVILEGE SKYPEOUT yes", 4, {"Privilege 0 0"}}, Row{"PRIVILEGE SKYPEOUT", 4, {}},
        Row{"PROFILE PSTN_BALANCE 100 EUR",
            3,
            {"NotSupported Received profile info \"PSTN_BALANCE\"" + kReveived + "3)",
             "Profile 0 [100]"}},
        Row{"PROFILE PSTN_BALANCE",
            3,
            {"NotSupported Received profile info \"PSTN_BALANCE\"" + kReveived + "3)"}},
        Row{"SKYPEVERSION 1.2.3 beta", 4, {"Version [1.2.3]"}}, Row{"SKYPEVERSION", 4, {}},
        Row{"CHAT #a/$b;1 TOPIC Hello  world", 4, {"Chat [#a/$b;1] 6 [Hello  world]"}},
        Row{"CHAT #a TOPIC x",
            2,
            {"NotSupported Received chat property \"TOPIC\"" + kReveived + "2)",
             "Chat [#a] 6 [x]"}},
        Row{"CHAT", 4, {}},
        Row{"CHATMESSAGE 1234 STATUS RECEIVED", 4, {"ChatMsg 1234 8 [RECEIVED]"}},
        Row{"CHATMESSAGE 1234 BODY  Hi there ", 4, {"ChatMsg 1234 7 [Hi there ]"}},
        Row{"CHATMESSAGE 1234 SEEN TRUE",
            4,
            {"NotSupported Received chatmessage property \"SEEN\"" + kReveived + "4)",
             "ChatMsg 1234 9 [TRUE]"}},
        Row{"CHATMESSAGE 1 NOSUCH x", 4, {"ChatMsg 1 0 [x]"}},
        Row{"CHATMESSAGE 1 NOSUCH x",
            -1,
            {"NotSupported Received chatmessage property \"NOSUCH\"" + kReveived + "-1)",
             "ChatMsg 1 0 [x]"}},
        Row{"CHATMESSAGE 0 BODY x", 4, {"ChatMsg 0 7 [x]"}}, Row{"CHATMESSAGE abc BODY x", 4, {}},
        Row{"CHATMESSAGE -5 BODY x", 4, {}}, Row{"CHATMESSAGE 99999999999 BODY x", 4, {}},
        Row{"chatmessage 1 BODY x", 4, {}}, Row{"", 4, {}}, Row{"   ", 4, {}}));

}  // namespace
}  // namespace chatlink
