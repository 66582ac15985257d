#pragma once

// A Prosody server of the test's own on loopback (its config, data and pid file in a scratch
// directory), and a remote person on it: the slixmpp peer in tests/xmpp_peer.py. And a server
// that falls silent in the TLS handshake.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/desktop.h"
#include "tests/api_program.h"
#include "testsupport/child_process.h"
#include "testsupport/net_util.h"
#include "testsupport/temp_dir.h"

namespace testsupport {

class ProsodyServer {
 public:
  // `tls`: a certificate and key for "localhost" in PEM files; c2s then requires encryption.
  struct Tls {
    std::string certificate, key;
  };
  explicit ProsodyServer(std::string dir, std::optional<Tls> tls = std::nullopt)
      : dir_(std::move(dir)), tls_(std::move(tls)) {}

  // Starts on a free port, trying others when another process takes it first.
  bool Start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = FreeLoopbackPort();
      if (Run()) return true;
    }
    return false;
  }
  // Starts again on the same port, after Kill().
  bool Restart() { return Run(); }
  void Kill() { server_.reset(); }
  void Crash() {
    if (server_) server_->Kill();
    server_.reset();
  }

  bool Register(const std::string& user, const std::string& password) {
    ChildProcess ctl(
        {"/usr/bin/prosodyctl", "--config", Config(), "register", user, "localhost", password},
        dir_ + "/prosodyctl.out", dir_ + "/prosodyctl.err");
    return ctl.Wait(20000) == 0;
  }
  bool Unregister(const std::string& user) {
    ChildProcess ctl({"/usr/bin/prosodyctl", "--config", Config(), "deluser", user + "@localhost"},
                     dir_ + "/prosodyctl.out", dir_ + "/prosodyctl.err");
    return ctl.Wait(20000) == 0;
  }
  std::uint16_t Port() const { return port_; }
  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }
  // Whether it keeps users' message archives (XEP-0313) and offers stream management
  // (XEP-0198); set before Start().
  bool archive = true;
  bool streamManagement = true;
  // What it does when a second connection binds a resource in use (kick_old: ends the first).
  std::string conflictResolve = "kick_old";
  // A second port for clients, where one is set before Start().
  std::uint16_t secondPort = 0;

 private:
  std::string Config() const { return dir_ + "/prosody.cfg.lua"; }

  bool Run() {
    ::mkdir((dir_ + "/data").c_str(), 0700);
    ::mkdir((dir_ + "/certs").c_str(), 0700);
    std::ofstream config(Config());
    config << "run_as_root = true\n"
              "daemonize = false\n"
              "pidfile = \""
           << dir_
           << "/prosody.pid\"\n"
              "data_path = \""
           << dir_
           << "/data\"\n"
              "certificates = \""
           << dir_
           << "/certs\"\n"
              "interfaces = { \"127.0.0.1\" }\n"
              "c2s_ports = { "
           << port_ << (secondPort != 0 ? ", " + std::to_string(secondPort) : std::string())
           << " }\n"
              "s2s_ports = { }\nhttp_ports = { }\nhttps_ports = { }\n"
              "authentication = \"internal_plain\"\n"
              "conflict_resolve = \""
           << conflictResolve << "\"\n"
              "log = { error = \""
           << dir_
           << "/prosody.log\" }\n"
              "modules_enabled = { \"roster\"; \"saslauth\"; \"tls\"; \"disco\"; \"carbons\"; "
              "\"offline\"; \"ping\"; \"posix\""
           << (streamManagement ? "; \"smacks\"" : "") << (archive ? "; \"mam\"" : "")
           << " }\n"
              "modules_disabled = { \"s2s\" }\n";
    if (tls_) {
      config << "c2s_require_encryption = true\n"
                "ssl = { certificate = \""
             << tls_->certificate << "\"; key = \"" << tls_->key << "\" }\n";
    } else {
      config << "c2s_require_encryption = false\nallow_unencrypted_plain_auth = true\n";
    }
    config << "VirtualHost \"localhost\"\n";
    config.close();
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/prosody", "--config", Config()}, dir_ + "/prosody.out",
        dir_ + "/prosody.err");
    if (WaitUntilListening(port_, 10000) && server_->Alive()) return true;
    server_.reset();
    return false;
  }

  std::string dir_;
  std::optional<Tls> tls_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> server_;
};

inline std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string Unhex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// The remote person: an XMPP account used from a small client of its own.
class XmppPeer {
 public:
  // `caFile`: encrypted, trusting the certificates in it; empty: plain.
  XmppPeer(const std::string& dir, const std::string& jid, const std::string& password,
           std::uint16_t port, const std::string& caFile = "")
      : out_(dir + "/peer-" + jid + ".out"), process_(Command(jid, password, port, caFile), out_,
                                                       out_ + ".err") {}

  // Waits (up to `ms`) for a line of its output that `accept` takes.
  template <typename Accept>
  bool WaitFor(Accept accept, int ms = 20000) {
    for (int waited = 0; waited < ms; waited += 20) {
      for (const std::string& line : Lines()) {
        if (accept(line)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  bool WaitReady() {
    return WaitFor([](const std::string& line) { return line == "ready"; });
  }
  bool Add(const std::string& jid) {
    return process_.Write("add " + jid + "\n") &&
           WaitFor([&](const std::string& line) { return line == "added " + jid; });
  }
  bool Send(const std::string& to, const std::string& body) {
    return process_.Write("send " + to + " " + Hex(body) + "\n");
  }
  // Bytes as they stand on its stream, for what no honest client sends.
  bool Raw(const std::string& xml) { return process_.Write("raw " + Hex(xml) + "\n"); }
  bool Remove(const std::string& jid) {
    return process_.Write("remove " + jid + "\n") &&
           WaitFor([&](const std::string& line) { return line == "removed " + jid; });
  }
  bool Unsubscribe(const std::string& jid) {
    return process_.Write("unsubscribe " + jid + "\n") &&
           WaitFor([&](const std::string& line) { return line == "unsubscribed " + jid; });
  }
  // How often its session has started (it connects again after a lost connection).
  int ReadyCount() const {
    int count = 0;
    for (const std::string& line : Lines()) count += line == "ready" ? 1 : 0;
    return count;
  }
  // The bodies received from `from`, in order.
  std::vector<std::string> Received(const std::string& from) {
    std::vector<std::string> bodies;
    const std::string prefix = "recv " + from + " ";
    for (const std::string& line : Lines()) {
      if (line.rfind(prefix, 0) == 0) bodies.push_back(Unhex(line.substr(prefix.size())));
    }
    return bodies;
  }
  void Quit() {
    process_.Write("quit\n");
    process_.Wait(5000);
  }

 private:
  static std::vector<std::string> Command(const std::string& jid, const std::string& password,
                                          std::uint16_t port, const std::string& caFile) {
    std::vector<std::string> command = {"/usr/bin/python3", XMPP_PEER_PATH, "--jid", jid,
                                        "--password", password, "--port", std::to_string(port)};
    if (!caFile.empty()) command.insert(command.end(), {"--ca-file", caFile});
    return command;
  }
  std::vector<std::string> Lines() const {
    std::ifstream in(out_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string out_;
  ChildProcess process_;
};

// An XMPP server on loopback that requires TLS, says "proceed" to STARTTLS and then never
// answers the handshake, on every connection; until destroyed.
class SilentHandshakeServer {
 public:
  SilentHandshakeServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listen_, 8);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~SilentHandshakeServer() {
    end_ = true;
    thread_.join();
    for (const int fd : connections_) ::close(fd);
    ::close(listen_);
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  // Connections told to go ahead with TLS.
  int Proceeded() const { return proceeded_; }

 private:
  void Serve() {
    while (!end_) {
      pollfd ready{listen_, POLLIN, 0};
      if (::poll(&ready, 1, 50) != 1) continue;
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      connections_.push_back(fd);
      if (!ReadUntil(fd, "<stream:stream")) continue;
      Write(fd,
            "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
            "xmlns:stream='http://etherx.jabber.org/streams' id='s' from='localhost' "
            "version='1.0'><stream:features><starttls "
            "xmlns='urn:ietf:params:xml:ns:xmpp-tls'><required/></starttls></stream:features>");
      if (!ReadUntil(fd, "<starttls")) continue;
      Write(fd, "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
      ++proceeded_;
    }
  }
  bool ReadUntil(int fd, const std::string& text) {
    std::string got;
    char buffer[4096];
    while (!end_ && got.find(text) == std::string::npos) {
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, 50) != 1) continue;
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) return false;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return !end_;
  }
  static void Write(int fd, const std::string& text) {
    (void)!::write(fd, text.data(), text.size());
  }

  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> end_{false};
  std::atomic<int> proceeded_{0};
  std::vector<int> connections_;
  std::thread thread_;
};

}  // namespace testsupport

namespace testsupport {

// Alice and Bob on a Prosody server of the test's own; parlavant-xmpp signs in as Alice on a
// desktop of the test's own, with short deadlines, and a program on the desktop API stands in
// for Parlavant.
class XmppAccountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.Register("alice", "alice-secret"));
    ASSERT_TRUE(server.Register("bob", "bob-secret"));
    std::ofstream(Dir() + "/alice.password") << "alice-secret\n";
    ::chmod((Dir() + "/alice.password").c_str(), 0600);
    desktop = platform::OpenDesktop(Dir() + "/d");
  }
  void TearDown() override {
    xmpp.reset();
    desktop.reset();
  }

  std::string Dir() const { return temp_.Path(); }
  std::string Errors() const { return FileText(Dir() + "/xmpp.err"); }
  bool ErrorsSay(const std::string& text, int ms = 30000) {
    return WaitFor([&] { return Errors().find(text) != std::string::npos; }, ms);
  }
  template <typename Done>
  static bool WaitFor(Done done, int ms) {
    for (int waited = 0; !done(); waited += 20) {
      if (waited >= ms) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  // `address`: the server as HOST:PORT (a proxy, say); by default the server itself. `plain`:
  // without TLS, as the test servers have no certificate.
  void StartXmpp(std::string address = {}, bool plain = true) {
    xmpp = std::make_unique<ChildProcess>(XmppArguments(std::move(address), plain),
                                          Dir() + "/xmpp.out", Dir() + "/xmpp.err");
  }
  std::vector<std::string> XmppArguments(std::string address = {}, bool plain = true) {
    if (address.empty()) address = server.Server();
    std::vector<std::string> argv = xmppPrefix;
    for (const std::string& arg :
         {std::string(XMPP_PATH), std::string("--jid"), std::string("alice@localhost"),
          std::string("--server"), address}) {
      argv.push_back(arg);
    }
    if (plain) argv.push_back("--plain");
    for (const std::string& arg :
         {std::string("--password-file"), Dir() + "/alice.password", std::string("--desktop"),
          Dir() + "/d", std::string("--settings"), Dir() + "/none.ini", std::string("--state"),
          Dir() + "/xmpp.state", std::string("--ping-interval"), std::string("1"),
          std::string("--ack-timeout"), ackTimeoutS, std::string("--connect-timeout"),
          std::string("3"), std::string("--send-bound"), std::string("120")}) {
      argv.push_back(arg);
    }
    return argv;
  }
  // How long the client waits for the server's answer before it takes the connection down:
  // short, so that dead paths are found quickly; a test that loads the server itself (a huge
  // stanza) gives it longer, as a busy machine may make it slow.
  std::string ackTimeoutS = "2";
  // A program on the desktop API, attached to the signed-in client.
  std::unique_ptr<ApiProgram> Attach() {
    auto program = std::make_unique<ApiProgram>(*desktop);
    EXPECT_TRUE(program->PumpUntil([&] { return program->Attached(); }, 30000)) << Errors();
    return program;
  }
  std::unique_ptr<XmppPeer> Peer(const std::string& user) {
    auto peer =
        std::make_unique<XmppPeer>(Dir(), user + "@localhost", user + "-secret", server.Port());
    EXPECT_TRUE(peer->WaitReady());
    return peer;
  }

  // Words before the client's own command line (a preloaded clock, say).
  std::vector<std::string> xmppPrefix;
  TempDir temp_{"pxmpp"};
  ProsodyServer server{Dir()};
  std::unique_ptr<platform::Desktop> desktop;
  std::unique_ptr<ChildProcess> xmpp;
};

}  // namespace testsupport
