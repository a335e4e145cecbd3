#include <atomic>
#include <map>
#include <thread>

#include "tests/ServerFixture.h"

namespace qs::test {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

// The documented example exchange, byte for byte.
TEST_F(ServerFixture, ExampleExchangeByteForByte) {
  Start();
  auto anna = Join("anna");
  auto bo = Connect();
  EXPECT_EQ(bo->ReadLine(), "OK!\r\n");
  bo->Send("bo\r\n");
  EXPECT_EQ(bo->ReadLine(), "OK!\r\n");
  bo->Send("secret\r\n");
  EXPECT_EQ(bo->ReadLine(), "OK!\r\n");
  bo->Send("OK!\r\n");
  EXPECT_EQ(anna->Read(21), "LA\r\nbo\r\nanna\r\nbo\r\n@\r\n");
  EXPECT_EQ(bo->Read(21), "LF\r\nbo\r\nanna\r\nbo\r\n@\r\n");
  bo->Send("MSG\r\n" + Bytes({0, 0, 0, 5}) + "hello");
  const std::string delivery = "M\r\nbo\r\n" + Bytes({0, 0, 0, 5}) + "hello";
  EXPECT_EQ(anna->Read(delivery.size()), delivery);
  EXPECT_EQ(bo->Read(delivery.size()), delivery);
  bo->Close();
  EXPECT_EQ(anna->Read(17), "LD\r\nbo\r\nanna\r\n@\r\n");

  const auto lines = recorder_.WaitForLines(4);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].colour, kColourGreen);
  EXPECT_EQ(lines[2].colour, kColourNavy);
  EXPECT_NE(lines[1].text.find("] * User \"bo\" (127.0.0.1) has logged in."), std::string::npos);
  EXPECT_NE(lines[2].text.find("] <bo> hello"), std::string::npos);
  EXPECT_NE(lines[3].text.find("] * User \"bo\" (127.0.0.1) has logged out."), std::string::npos);
  EXPECT_TRUE(recorder_.Lists().back() == std::vector<std::string>{"anna"});
}

TEST_F(ServerFixture, NoPasswordTurnsEveryoneAwayWithoutTouchingTheRoster) {
  Start({}, "");
  auto client = Connect();
  EXPECT_EQ(client->ReadLine(), "N/A\r\n");
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_TRUE(recorder_.Lists().empty());
  EXPECT_TRUE(recorder_.WaitForLines(1, 0).empty());
}

struct TRefusal {
  const char* label;
  std::string name;
  std::string password;
  std::string confirmation;
  bool namedAnswer;  // "N/A" comes back, rather than a silent close
  friend void PrintTo(const TRefusal& c, std::ostream* os) { *os << c.label; }
};

class LoginRefusal : public ServerFixture, public ::testing::WithParamInterface<TRefusal> {};

TEST_P(LoginRefusal, ClosesAndLeavesNoTrace) {
  Start();
  auto anna = Join("anna\xE4");  // ä
  const TRefusal& c = GetParam();
  auto client = Connect();
  ASSERT_EQ(client->ReadLine(), "OK!\r\n");
  client->SendLine(c.name);
  std::string reply = client->ReadLine();
  if (reply == "OK!\r\n") {
    client->SendLine(c.password);
    reply = client->ReadLine();
    if (reply == "OK!\r\n") {
      client->SendLine(c.confirmation);
      reply.clear();
    }
  }
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(reply + client->Pending(), c.namedAnswer ? "N/A\r\n" : "");
  EXPECT_EQ(recorder_.WaitForLines(1).size(), 1u);  // anna's admission only
  EXPECT_EQ(recorder_.Lists().size(), 1u);
  EXPECT_TRUE(anna->Silent(50));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoginRefusal,
    ::testing::Values(TRefusal{"EmptyName", "", "secret", "OK!", true},
                      TRefusal{"AtSign", "@", "secret", "OK!", true},
                      TRefusal{"NameTakenOtherCase", "ANNA\xC4", "secret", "OK!", true},
                      TRefusal{"WrongPassword", "bo", "Secret", "OK!", true},
                      TRefusal{"EmptyPassword", "bo", "", "OK!", true},
                      TRefusal{"LowerCaseConfirmation", "bo", "secret", "ok!", false},
                      TRefusal{"EmptyConfirmation", "bo", "secret", "", false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ServerFixture, NamesKeepTheirBytes) {
  Start();
  auto first = Join("@anna");  // only "@" alone is refused
  auto second = Connect();
  ASSERT_EQ(second->ReadLine(), "OK!\r\n");
  second->Send("bo\r\r\n");  // the first CR stays in the name
  ASSERT_EQ(second->ReadLine(), "OK!\r\n");
  second->Send("secret\n");  // a bare line feed ends a line too
  ASSERT_EQ(second->ReadLine(), "OK!\r\n");
  second->Send("OK!\n");
  EXPECT_EQ(first->Read(24), "LA\r\nbo\r\r\n@anna\r\nbo\r\r\n@\r\n");
}

TEST_F(ServerFixture, NameIsFreeAgainAfterItsOwnerLeft) {
  Start();
  auto anna = Join("anna");
  anna->Close();
  recorder_.WaitForLines(2);
  auto again = Join("ANNA");
  EXPECT_EQ(recorder_.Lists().back(), std::vector<std::string>{"ANNA"});
}

TEST_F(ServerFixture, NewPasswordAppliesToTheLoginInProgress) {
  Start();
  auto client = Connect();
  ASSERT_EQ(client->ReadLine(), "OK!\r\n");
  client->SendLine("bo");
  ASSERT_EQ(client->ReadLine(), "OK!\r\n");
  state_.SetServerPassword("n\xC3\xA4w");  // "näw" as the operator typed it (UTF-8)
  client->SendLine("n\xE4w");              // the same characters, one byte each
  EXPECT_EQ(client->ReadLine(), "OK!\r\n");
}

TEST_F(ServerFixture, ArrivalsDeparturesAndRosterOrder) {
  Start();
  auto a = Join("a");
  auto b = Join("b");
  auto c = Join("c");
  EXPECT_EQ(a->ReadListUnit(), (std::vector<std::string>{"LA", "b", "a", "b", "@"}));
  EXPECT_EQ(a->ReadListUnit(), (std::vector<std::string>{"LA", "c", "a", "b", "c", "@"}));
  EXPECT_EQ(b->ReadListUnit(), (std::vector<std::string>{"LA", "c", "a", "b", "c", "@"}));
  b->Close();
  EXPECT_EQ(a->ReadListUnit(), (std::vector<std::string>{"LD", "b", "a", "c", "@"}));
  EXPECT_EQ(c->ReadListUnit(), (std::vector<std::string>{"LD", "b", "a", "c", "@"}));
  auto d = Connect();
  ASSERT_TRUE(d->Login("d"));
  EXPECT_EQ(d->ReadListUnit(), (std::vector<std::string>{"LF", "d", "a", "c", "d", "@"}));
}

TEST_F(ServerFixture, OtherLinesAreIgnoredAndLengthsBelowOneCarryNoText) {
  Start();
  auto a = Join("a");
  a->SendLine("msg");
  a->SendLine("MSG ");
  a->SendLine("");
  a->SendMessage(0, "");
  a->SendMessage(-1, "");
  a->SendMessage(std::string("\n\r\0x", 4));
  EXPECT_EQ(a->ReadDelivery(), std::make_pair(std::string("a"), std::string()));
  EXPECT_EQ(a->ReadDelivery(), std::make_pair(std::string("a"), std::string()));
  EXPECT_EQ(a->ReadDelivery(), std::make_pair(std::string("a"), std::string("\n\r\0x", 4)));
  EXPECT_TRUE(a->Silent(50));
  const auto lines = recorder_.WaitForLines(4);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].text.substr(lines[1].text.size() - 4), "<a> ");
}

TEST_F(ServerFixture, LineLimitBoundary) {
  Start();
  auto fits = Connect();
  ASSERT_EQ(fits->ReadLine(), "OK!\r\n");
  fits->Send(std::string(16383, 'x') + "\r\n");  // 16384 bytes before the line feed
  EXPECT_EQ(fits->ReadLine(), "OK!\r\n");

  auto tooLong = Connect();
  ASSERT_EQ(tooLong->ReadLine(), "OK!\r\n");
  tooLong->Send(std::string(16384, 'x') + "\r\n");
  EXPECT_TRUE(tooLong->WaitClosed());
  EXPECT_EQ(tooLong->Pending(), "");

  auto member = Join("m");
  auto other = Join("o");
  member->ReadListUnit();
  other->Send(std::string(20000, 'y'));  // no line feed at all: too long after admission too
  EXPECT_TRUE(other->WaitClosed());
  EXPECT_EQ(member->ReadListUnit(), (std::vector<std::string>{"LD", "o", "m", "@"}));
}

TEST_F(ServerFixture, SilenceRules) {
  TServerOptions options;
  options.reader.readTimeoutMs = 300;
  Start(options);
  // Before admission, silence counts as an empty name.
  auto quiet = Connect();
  ASSERT_EQ(quiet->ReadLine(), "OK!\r\n");
  EXPECT_TRUE(quiet->WaitClosed());
  EXPECT_EQ(quiet->Pending(), "N/A\r\n");

  // Pieces with pauses shorter than the time-out make one line.
  auto slow = Connect();
  ASSERT_EQ(slow->ReadLine(), "OK!\r\n");
  for (char c : std::string("slow")) {
    slow->Send(std::string(1, c));
    EXPECT_TRUE(slow->Silent(150));
  }
  slow->Send("\r\n");
  EXPECT_EQ(slow->ReadLine(), "OK!\r\n");

  // An idle member outlives many time-outs.
  auto idle = Join("idle");
  EXPECT_TRUE(idle->Silent(1000));
  idle->SendMessage("still here");
  EXPECT_EQ(idle->ReadDelivery().second, "still here");

  // A pause inside a chat text ends the connection.
  auto watcher = Join("watcher");
  idle->ReadListUnit();
  idle->SendMessage(10, "abc");
  EXPECT_TRUE(idle->WaitClosed());
  EXPECT_EQ(watcher->ReadListUnit(), (std::vector<std::string>{"LD", "idle", "watcher", "@"}));
}

TEST_F(ServerFixture, ClosedClientDepartsWithoutWaitingForTheTimeOut) {
  TServerOptions options;
  options.reader.readTimeoutMs = 60000;  // longer than any wait below
  Start(options);
  auto stays = Join("stays");
  auto leaves = Join("leaves");
  stays->ReadListUnit();
  leaves->Close();
  EXPECT_EQ(stays->ReadListUnit(), (std::vector<std::string>{"LD", "leaves", "stays", "@"}));
}

TEST_F(ServerFixture, ConcurrentSendersAreSeenInOneOrderByEveryone) {
  Start();
  constexpr int kSenders = 4;
  constexpr int kMessages = 200;
  std::vector<std::unique_ptr<TTestClient>> clients;
  for (int i = 0; i < kSenders; ++i) clients.push_back(Join("s" + std::to_string(i)));
  for (int i = 0; i < kSenders; ++i) {
    for (int j = i + 1; j < kSenders; ++j) clients[i]->ReadListUnit();
  }
  std::vector<std::thread> senders;
  for (int i = 0; i < kSenders; ++i) {
    senders.emplace_back([&, i] {
      for (int m = 0; m < kMessages; ++m) clients[i]->SendMessage(std::to_string(m));
    });
  }
  // Readers run alongside, since senders also receive.
  std::vector<std::vector<std::pair<std::string, std::string>>> seen(kSenders);
  std::vector<std::thread> readers;
  for (int i = 0; i < kSenders; ++i) {
    readers.emplace_back([&, i] {
      for (int m = 0; m < kSenders * kMessages; ++m) seen[i].push_back(clients[i]->ReadDelivery());
    });
  }
  for (auto& t : senders) t.join();
  for (auto& t : readers) t.join();
  for (int i = 1; i < kSenders; ++i) EXPECT_EQ(seen[i], seen[0]);
  std::map<std::string, int> next;
  for (const auto& [sender, text] : seen[0]) {
    EXPECT_EQ(text, std::to_string(next[sender]++)) << sender;
  }
  EXPECT_EQ(recorder_.WaitForLines(kSenders + kSenders * kMessages).size(),
            std::size_t{kSenders + kSenders * kMessages});
}

TEST_F(ServerFixture, OversizedTextClosesTheSenderWithoutReadingIt) {
  TServerOptions options;
  options.maxTextLength = 1000;
  Start(options);
  auto watcher = Join("watcher");
  auto sender = Join("sender");
  watcher->ReadListUnit();
  sender->SendMessage(std::string(1000, 'z'));  // at the limit: relayed
  EXPECT_EQ(watcher->ReadDelivery().second, std::string(1000, 'z'));
  sender->SendMessage(1001, "");  // announced past the limit; no text follows
  EXPECT_TRUE(sender->WaitClosed());
  EXPECT_EQ(watcher->ReadListUnit(), (std::vector<std::string>{"LD", "sender", "watcher", "@"}));
}

TEST_F(ServerFixture, HugeAnnouncementCostsNothing) {
  Start();
  auto sender = Join("sender");
  sender->SendMessage(0x7FFFFFFF, "");
  EXPECT_TRUE(sender->WaitClosed());
}

struct TStall {
  const char* label;
  std::size_t hard;
  std::size_t soft;
  int softMs;
  friend void PrintTo(const TStall& c, std::ostream* os) { *os << c.label; }
};

class SlowConsumer : public ServerFixture, public ::testing::WithParamInterface<TStall> {};

// A client that stops reading is cut off; the others keep receiving meanwhile.
TEST_P(SlowConsumer, IsDisconnectedAndHoldsNobodyUp) {
  TServerOptions options;
  options.hardBacklog = GetParam().hard;
  options.softBacklog = GetParam().soft;
  options.softBacklogTime = std::chrono::milliseconds(GetParam().softMs);
  Start(options);
  auto stalled = Join("stalled");
  int buffer = 4096;  // keep the kernel from absorbing the backlog
  ::setsockopt(stalled->Fd(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  auto talker = Join("talker");
  const std::string text(16384, 't');
  bool departed = false;
  for (int i = 0; i < 4000 && !departed; ++i) {
    talker->SendMessage(text);
    // Once the stalled client is cut, its departure comes before or between deliveries.
    if (talker->Peek(2) == "LD") {
      departed = true;
    } else {
      ASSERT_EQ(talker->ReadDelivery().second.size(), text.size()) << i;
    }
  }
  ASSERT_TRUE(departed);
  EXPECT_EQ(talker->ReadListUnit(), (std::vector<std::string>{"LD", "stalled", "talker", "@"}));
}

INSTANTIATE_TEST_SUITE_P(Limits, SlowConsumer,
                         ::testing::Values(TStall{"HardLimit", 1u << 20, 1u << 19, 3600000},
                                           TStall{"SoftLimitForTooLong", 1u << 30, 1u << 19, 200}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ServerFixture, DeactivationClosesEveryConnectionAndJoinsEveryHandler) {
  Start();
  std::vector<std::unique_ptr<TTestClient>> clients;
  for (int i = 0; i < 5; ++i) clients.push_back(Join("u" + std::to_string(i)));
  auto halfway = Connect();  // still logging in
  ASSERT_EQ(halfway->ReadLine(), "OK!\r\n");
  server_->Deactivate();
  EXPECT_EQ(server_->sckServer.LiveConnections(), 0u);
  for (auto& client : clients) EXPECT_TRUE(client->WaitClosed());
  EXPECT_TRUE(halfway->WaitClosed());
  // Every admitted handler departed, so the roster is empty again.
  EXPECT_EQ(recorder_.WaitForLines(10).size(), 10u);
  EXPECT_TRUE(recorder_.Lists().back().empty());
}

TEST_F(ServerFixture, PortInUseFailsAndRestartBinds) {
  Start();
  TServerState other;
  TServerOptions options;
  options.port = Port();
  TChatServer second(other, options);
  try {
    second.Activate();
    FAIL() << "bound a port that is in use";
  } catch (const TBindError& error) {
    EXPECT_STREQ(error.what(), "Could not bind socket. Address and port are already in use.");
  }
  auto client = Join("c");  // leaves a connection behind in TIME_WAIT after the stop
  server_->Deactivate();
  EXPECT_TRUE(client->WaitClosed());
  TChatServer third(other, options);
  EXPECT_NO_THROW(third.Activate());
}

TEST(LogLines, BothLanguages) {
  const TDateTime when{2012, 5, 1, 13, 45, 10, 999};
  EXPECT_EQ(AdmissionLine(when, "anna", "192.168.1.5", false),
            "[2012-05-01, 13:45:10] * User \"anna\" (192.168.1.5) has logged in.");
  EXPECT_EQ(DepartureLine(when, "anna", "192.168.1.5", false),
            "[2012-05-01, 13:45:10] * User \"anna\" (192.168.1.5) has logged out.");
  EXPECT_EQ(AdmissionLine(when, "\xE5sa", "10.0.0.1", true),
            "[2012-05-01, 13:45:10] * Användaren \"\xC3\xA5sa\" (10.0.0.1) har loggat in.");
  EXPECT_EQ(DepartureLine(when, "bo", "10.0.0.1", true),
            "[2012-05-01, 13:45:10] * Användaren \"bo\" (10.0.0.1) har loggat ut.");
  EXPECT_EQ(ChatLine(when, "anna", "hello\nworld"), "[2012-05-01, 13:45:10] <anna> hello\nworld");
}

TEST(RosterTest, OrderIdentityAndNames) {
  TThreadsAndUsers a{nullptr, "anna"}, b{nullptr, "bo"}, c{nullptr, "cid"}, d{nullptr, "dan"};
  TRoster roster;
  roster.Append(&a);
  roster.Append(&b);
  roster.Append(&c);
  EXPECT_TRUE(roster.Remove(&b));
  EXPECT_FALSE(roster.Remove(&b));  // not there: nothing changes
  roster.Append(&d);
  EXPECT_EQ(roster.Names(), (std::vector<std::string>{"anna", "cid", "dan"}));
  EXPECT_TRUE(roster.IsAt(2, &d));
  EXPECT_FALSE(roster.IsAt(3, &d));
  EXPECT_TRUE(roster.FindName("ANNA"));
  EXPECT_FALSE(roster.FindName("ann"));
}

}  // namespace
}  // namespace qs::test
