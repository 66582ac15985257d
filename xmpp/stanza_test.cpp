#include "xmpp/stanza.h"

#include <gtest/gtest.h>

#include <memory>

namespace xmpp {
namespace {

// Stanzas made from their text, as the network would bring them; no connection needed.
class StanzaTest : public ::testing::Test {
 protected:
  StanzaTest() { ctx_ = xmpp_ctx_new(nullptr, nullptr); }
  ~StanzaTest() override {
    for (xmpp_stanza_t* s : made_) xmpp_stanza_release(s);
    xmpp_ctx_free(ctx_);
  }
  xmpp_stanza_t* Parse(const std::string& text) {
    xmpp_stanza_t* s = xmpp_stanza_new_from_string(ctx_, text.c_str());
    EXPECT_NE(s, nullptr) << text;
    made_.push_back(s);
    return s;
  }
  // What a stanza of ours says once written, as the server reads it.
  std::string Text(const Stanza& stanza) {
    char* text = nullptr;
    std::size_t length = 0;
    EXPECT_EQ(xmpp_stanza_to_text(stanza.get(), &text, &length), XMPP_EOK);
    std::string copy(text, length);
    xmpp_free(ctx_, text);
    return copy;
  }
  xmpp_stanza_t* Reread(const Stanza& stanza) { return Parse(Text(stanza)); }
  std::optional<IncomingChat> Chat(const std::string& text) {
    return ReceivedChat(Parse(text), "alice@example.org");
  }

  xmpp_ctx_t* ctx_;
  std::vector<xmpp_stanza_t*> made_;
};

TEST_F(StanzaTest, ChatAndNormalMessagesWithABodyAreReceivedChatMessages) {
  auto chat = Chat(
      "<message from='bob@example.org/phone' type='chat'><body>Hola \xF0\x9F\x98\x80</body>"
      "</message>");
  ASSERT_TRUE(chat);
  EXPECT_EQ(chat->from, "bob@example.org");
  EXPECT_EQ(chat->body, "Hola \xF0\x9F\x98\x80");  // four-byte characters intact
  EXPECT_TRUE(Chat("<message from='bob@example.org' type='normal'><body>a</body></message>"));
  EXPECT_TRUE(Chat("<message from='bob@example.org'><body>a &amp; b</body></message>"));
  EXPECT_EQ(Chat("<message from='bob@example.org'><body>a &amp; b</body></message>")->body,
            "a & b");
}

TEST_F(StanzaTest, WhatIsNotAChatMessageForTheUserIsNot) {
  for (const char* text : {
           "<message from='bob@example.org' type='chat'><composing "
           "xmlns='http://jabber.org/protocol/chatstates'/></message>",
           "<message from='bob@example.org' type='chat'><body></body></message>",
           "<message from='bob@example.org' type='error'><body>x</body></message>",
           "<message from='bob@example.org' type='groupchat'><body>x</body></message>",
           "<message from='bob@example.org' type='headline'><body>x</body></message>",
           "<message type='chat'><body>no sender</body></message>",
           "<message from='/phone' type='chat'><body>a resource, no address</body></message>",
           "<message from='a b@example.org' type='chat'><body>a blank</body></message>",
           "<presence from='bob@example.org'/>",
       }) {
    EXPECT_FALSE(Chat(text)) << text;
  }
}

TEST_F(StanzaTest, CarbonsCountOnlyWhenReceivedAndFromTheUsersOwnAccount) {
  const std::string received =
      "<received xmlns='urn:xmpp:carbons:2'><forwarded xmlns='urn:xmpp:forward:0'>"
      "<message from='bob@example.org/pc' to='alice@example.org/other' type='chat'>"
      "<body>carbon</body></message></forwarded></received>";
  auto copy =
      Chat("<message from='alice@example.org' to='alice@example.org/p'>" + received + "</message>");
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->from, "bob@example.org");
  EXPECT_EQ(copy->body, "carbon");
  // From anyone else it is a spoof.
  EXPECT_FALSE(Chat("<message from='mallory@example.org'>" + received + "</message>"));
  EXPECT_FALSE(Chat("<message>" + received + "</message>"));
  // Carbons come from the bare JID, but one from the account with a resource is the account's.
  EXPECT_TRUE(Chat("<message from='alice@example.org/phone'>" + received + "</message>"));
  // Not what a server sends: no forwarded message, or a carbon inside the carbon.
  EXPECT_FALSE(
      Chat("<message from='alice@example.org'><received xmlns='urn:xmpp:carbons:2'/></message>"));
  EXPECT_FALSE(
      Chat("<message from='alice@example.org'><received xmlns='urn:xmpp:carbons:2'>"
           "<forwarded xmlns='urn:xmpp:forward:0'><message from='bob@example.org' type='chat'>"
           "<body>nested</body>" +
           received + "</message></forwarded></received></message>"));
  // The user's own sent message never comes back as received, as servers send it or whatever
  // else the stanza holds.
  EXPECT_FALSE(
      Chat("<message from='alice@example.org'><sent xmlns='urn:xmpp:carbons:2'>"
           "<forwarded xmlns='urn:xmpp:forward:0'><message from='alice@example.org/other' "
           "to='bob@example.org' type='chat'><body>mine</body></message></forwarded></sent>"
           "</message>"));
  EXPECT_FALSE(
      Chat("<message from='alice@example.org' type='chat'><body>mine</body>"
           "<sent xmlns='urn:xmpp:carbons:2'><forwarded xmlns='urn:xmpp:forward:0'>"
           "<message from='alice@example.org/other' to='bob@example.org' type='chat'>"
           "<body>mine</body></message></forwarded></sent></message>"));
}

// Only the user's own server's stanza id is the message's place in the archive.
TEST_F(StanzaTest, TheStanzaIdIsTakenOnlyFromTheUsersOwnServer) {
  const std::string message = "<message from='bob@example.org' type='chat'><body>a</body>";
  EXPECT_EQ(Chat(message + "<stanza-id xmlns='urn:xmpp:sid:0' by='alice@example.org' id='s1'/>"
                           "</message>")
                ->stanzaId,
            "s1");
  EXPECT_EQ(Chat(message + "<stanza-id xmlns='urn:xmpp:sid:0' by='bob@example.org' id='s2'/>"
                           "</message>")
                ->stanzaId,
            "");
  EXPECT_FALSE(ArchiveResult(
      Parse("<message from='mallory@example.org'><result xmlns='urn:xmpp:mam:2' id='a1'>"
            "<forwarded xmlns='urn:xmpp:forward:0'>" +
            message + "</message></forwarded></result></message>"),
      "alice@example.org"));
}

TEST(Unsendable, WhatXmlCannotCarryAndTheWrittenSizeCountingEscapes) {
  for (const char* bad : {"\xC0\xAF", "\xF4\x90\x80\x80", "\xC3\x28", "\xE2\x82"}) {
    EXPECT_EQ(UnsendableReason("bob@example.org", bad, 1000), "the text is not valid UTF-8") << bad;
  }
  EXPECT_EQ(UnsendableReason("bob@example.org", "\xF4\x8F\xBF\xBD \xC3\xA9", 1000), std::nullopt);
  // The envelope's 256 bytes and the address's 15, then the body as written.
  const std::pair<std::string, int> sizes[] = {{std::string(60, '&'), 571},
                                               {std::string(30, '\''), 451},
                                               {std::string(30, '"'), 451},
                                               {std::string(40, '>'), 431}};
  for (const auto& [body, size] : sizes) {
    EXPECT_EQ(
        UnsendableReason("bob@example.org", body, 400),
        "the message takes " + std::to_string(size) + " bytes once written, past the bound of 400");
  }
}

TEST_F(StanzaTest, RosterItemsWithTheirRemovals) {
  const auto items = RosterItems(
      Parse("<iq type='result'><query xmlns='jabber:iq:roster'>"
            "<item jid='bob@example.org' subscription='both'/><item jid='carol@example.org/x'/>"
            "<item subscription='both'/><item jid='/x'/><group jid='zed@example.org'/>"
            "<item jid='dave@example.org' "
            "subscription='remove'/>"
            "</query></iq>"));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].jid, "bob@example.org");
  EXPECT_EQ(items[1].jid, "carol@example.org");
  EXPECT_FALSE(items[1].removed);
  EXPECT_TRUE(items[2].removed);
  EXPECT_TRUE(RosterItems(Parse("<iq type='result'/>")).empty());
}

// Each question read back by the server's side of the readers: whole, and with each optional
// part left out.
TEST_F(StanzaTest, ArchiveQuestionsSayWhatTheyAskForAndNothingElse) {
  ArchiveQuestion catchUp{"archive-1-ab", "2026-12-02T10:00:00Z", "bob@example.org", 100, true,
                          "s41"};
  // The field's value, or "-" where the form has no such field.
  const auto field = [](xmpp_stanza_t* query, const std::string& var) -> std::string {
    for (xmpp_stanza_t* f = xmpp_stanza_get_children(xmpp_stanza_get_child_by_name(query, "x"));
         f != nullptr; f = xmpp_stanza_get_next(f)) {
      if (AttributeOf(f, "var") == var) return TextOf(xmpp_stanza_get_child_by_name(f, "value"));
    }
    return "-";
  };
  xmpp_stanza_t* whole = Reread(ArchiveQuery(ctx_, catchUp));
  EXPECT_EQ(AttributeOf(whole, "type"), "set");
  EXPECT_EQ(AttributeOf(whole, "id"), "archive-1-ab");
  xmpp_stanza_t* asked = xmpp_stanza_get_child_by_name_and_ns(whole, "query", kMamNs);
  ASSERT_NE(asked, nullptr);
  EXPECT_EQ(AttributeOf(asked, "queryid"), "archive-1-ab");
  EXPECT_EQ(field(asked, "FORM_TYPE"), kMamNs);
  EXPECT_EQ(field(asked, "start"), "2026-12-02T10:00:00Z");
  EXPECT_EQ(field(asked, "with"), "bob@example.org");
  xmpp_stanza_t* paging = xmpp_stanza_get_child_by_name_and_ns(asked, "set", kRsmNs);
  EXPECT_EQ(TextOf(xmpp_stanza_get_child_by_name(paging, "max")), "100");
  EXPECT_EQ(TextOf(xmpp_stanza_get_child_by_name(paging, "after")), "s41");
  EXPECT_EQ(xmpp_stanza_get_child_by_name(paging, "before"), nullptr);

  ArchiveQuestion newest{"check-2-cd", "", "", 1, false, ""};
  xmpp_stanza_t* iq = Reread(ArchiveQuery(ctx_, newest));
  xmpp_stanza_t* query = xmpp_stanza_get_child_by_name_and_ns(iq, "query", kMamNs);
  ASSERT_NE(query, nullptr);
  EXPECT_EQ(AttributeOf(query, "queryid"), "check-2-cd");
  EXPECT_EQ(field(query, "start"), "-");
  EXPECT_EQ(field(query, "with"), "-");
  xmpp_stanza_t* set = xmpp_stanza_get_child_by_name_and_ns(query, "set", kRsmNs);
  EXPECT_EQ(TextOf(xmpp_stanza_get_child_by_name(set, "max")), "1");
  // An empty <before/> asks for the newest page; a missing one for the oldest.
  ASSERT_NE(xmpp_stanza_get_child_by_name(set, "before"), nullptr);
  EXPECT_EQ(TextOf(xmpp_stanza_get_child_by_name(set, "before")), "");
  EXPECT_EQ(xmpp_stanza_get_child_by_name(set, "after"), nullptr);

  newest.page = "s7";
  set = xmpp_stanza_get_child_by_name_and_ns(
      xmpp_stanza_get_child_by_name(Reread(ArchiveQuery(ctx_, newest)), "query"), "set", kRsmNs);
  EXPECT_EQ(TextOf(xmpp_stanza_get_child_by_name(set, "before")), "s7");
}

TEST_F(StanzaTest, AnswersAndAcknowledgementsReadAsTheyWereWritten) {
  // <a/> counts modulo 2^32, and only a plain number acknowledges anything.
  EXPECT_EQ(AcknowledgedCount(Reread(StreamManagementAnswer(ctx_, (std::uint64_t{1} << 32) + 7))),
            7u);
  for (const char* h : {"", "12x", "0x10"}) {
    EXPECT_FALSE(AcknowledgedCount(Parse(std::string("<a xmlns='urn:xmpp:sm:3' h='") + h + "'/>")))
        << h;
  }

  xmpp_stanza_t* chat = Reread(ChatStanza(ctx_, {"m1", "bob@example.org", "a < b & \"c\""}));
  EXPECT_EQ(AttributeOf(chat, "id"), "m1");
  EXPECT_EQ(AttributeOf(chat, "to"), "bob@example.org");
  EXPECT_EQ(AttributeOf(chat, "type"), "chat");
  EXPECT_EQ(TextOf(xmpp_stanza_get_child_by_name(chat, "body")), "a < b & \"c\"");
  EXPECT_EQ(AttributeOf(xmpp_stanza_get_child_by_name_and_ns(chat, "origin-id", kStanzaIdNs), "id"),
            "m1");

  xmpp_stanza_t* refusal = Reread(UnavailableAnswer(ctx_, "q9"));
  EXPECT_EQ(AttributeOf(refusal, "id"), "q9");
  EXPECT_EQ(ErrorCondition(refusal), "service-unavailable");
  EXPECT_EQ(ErrorReason(refusal), "the server answered service-unavailable");
  EXPECT_EQ(ErrorReason(Parse("<iq type='error'><error type='cancel'><item-not-found "
                              "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/><text "
                              "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'>gone</text></error>"
                              "</iq>")),
            "the server answered item-not-found (gone)");
  EXPECT_EQ(ErrorReason(Parse("<iq type='error'/>")), "the server answered an error");

  const ArchivePage page = ArchivePageOf(
      Parse("<iq type='result'><fin xmlns='urn:xmpp:mam:2' complete='true'><set "
            "xmlns='http://jabber.org/protocol/rsm'><first>s1</first><last>s9</last></set></fin>"
            "</iq>"));
  EXPECT_TRUE(page.complete);
  EXPECT_EQ(page.first, "s1");
  EXPECT_EQ(page.last, "s9");
  // A <fin/> of another namespace is no end of an archive answer.
  EXPECT_FALSE(ArchivePageOf(Parse("<iq type='result'><fin complete='true'/></iq>")).complete);
}

}  // namespace
}  // namespace xmpp
