// Hostile and broken clients. After each scenario the server must still admit and relay,
// and every handler must have ended when it stops.
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "tests/ServerFixture.h"

namespace qs::test {
namespace {

class FaultFixture : public ServerFixture {
 protected:
  // A fresh pair logs in and exchanges a message; then the server stops with nothing left.
  void ExpectHealthyAndStopClean() {
    auto probe = Join("probe" + std::to_string(++probes_));
    probe->SendMessage("ping");
    // Messages a flood left on their way, and departures of clients that were just
    // dropped, may still come first.
    std::pair<std::string, std::string> delivery;
    for (int i = 0; i < 100000; ++i) {
      if (probe->Peek(1) == "L") {
        probe->ReadListUnit();
        continue;
      }
      delivery = probe->ReadDelivery();
      if (delivery.first.empty() || delivery.first == probe_name()) break;
    }
    EXPECT_EQ(delivery, std::make_pair(probe_name(), std::string("ping")));
    server_->Deactivate();
    EXPECT_EQ(server_->sckServer.LiveConnections(), 0u);
    EXPECT_TRUE(probe->WaitClosed());
    TMutexLock lock(state_.RosterLock);  // the roster must be empty once every handler ended
    EXPECT_EQ(state_.Roster.Count(), 0u);
  }
  std::string probe_name() const { return "probe" + std::to_string(probes_); }

  // Closes with a reset rather than an orderly end.
  static void Reset(TTestClient& client) {
    linger hard{1, 0};
    ::setsockopt(client.Fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    client.Close();
  }

  int probes_ = 0;
};

TEST_F(FaultFixture, ResetsInTheMiddleOfUnits) {
  Start();
  auto watcher = Join("watcher");
  const std::vector<std::string> halves = {"MS", "MSG\r\n\x00\x00",
                                           std::string("MSG\r\n\0\0\0\x10half", 13)};
  for (std::size_t i = 0; i < halves.size(); ++i) {
    auto client = Join("r" + std::to_string(i));
    EXPECT_EQ(watcher->ReadListUnit()[0], "LA");
    client->Send(halves[i]);
    Reset(*client);
    EXPECT_EQ(watcher->ReadListUnit()[0], "LD");
  }
  auto halfLogin = Connect();
  ASSERT_EQ(halfLogin->ReadLine(), "OK!\r\n");
  halfLogin->Send("nam");
  Reset(*halfLogin);
  ExpectHealthyAndStopClean();
}

TEST_F(FaultFixture, ClosesHalfwayThroughANameList) {
  Start();
  std::vector<std::unique_ptr<TTestClient>> crowd;
  for (int i = 0; i < 20; ++i) crowd.push_back(Join(std::string(200, 'a' + i)));
  // Each of these reads a part of its roster unit and goes away.
  for (int i = 0; i < 20; ++i) {
    auto client = Connect();
    ASSERT_TRUE(client->Login("late" + std::to_string(i)));
    client->Read(300);
    if (i % 2) Reset(*client);
  }
  ExpectHealthyAndStopClean();
}

TEST_F(FaultFixture, HundredSilentConnections) {
  TServerOptions options;
  options.reader.readTimeoutMs = 1000;
  Start(options);
  std::vector<std::unique_ptr<TTestClient>> silent;
  for (int i = 0; i < 100; ++i) {
    silent.push_back(Connect());
    // Waiting for each greeting keeps the short listen queue from overflowing, which
    // would only delay the connect by a SYN retry.
    ASSERT_EQ(silent.back()->ReadLine(), "OK!\r\n");
  }
  auto member = Join("member");  // admitted while they sit there
  for (auto& client : silent) {
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_EQ(client->Pending(), "N/A\r\n");  // silence counts as an empty name
  }
  ExpectHealthyAndStopClean();
}

TEST_F(FaultFixture, OneByteJustInsideTheSilenceLimit) {
  TServerOptions options;
  options.reader.readTimeoutMs = 400;
  Start(options);
  auto slow = Connect();
  ASSERT_EQ(slow->ReadLine(), "OK!\r\n");
  for (char c : std::string("slowpoke")) {
    slow->Send(std::string(1, c));
    EXPECT_TRUE(slow->Silent(250));  // nothing comes back while the line is incomplete
  }
  slow->Send("\n");
  EXPECT_EQ(slow->ReadLine(), "OK!\r\n");
  ExpectHealthyAndStopClean();
}

TEST_F(FaultFixture, ThousandConnectionsOpenedAndDropped) {
  Start();
  for (int i = 0; i < 1000; ++i) {
    TTestClient client(Port());
    // Waiting for the greeting paces the loop to the server, as the listen queue is short.
    ASSERT_EQ(client.ReadLine(), "OK!\r\n");
    if (i % 2) Reset(client);
  }
  // The handlers of dropped connections are reaped while the server runs.
  auto member = Join("member");
  ExpectHealthyAndStopClean();
}

TEST_F(FaultFixture, FloodWhileOthersComeAndGo) {
  Start();
  auto flooder = Join("flooder");
  std::atomic<bool> done{false};
  std::thread flood([&] {
    const std::string text(512, 'f');
    while (!done.load()) flooder->SendMessage(text);
  });
  for (int i = 0; i < 50; ++i) {
    auto visitor = Connect();
    ASSERT_TRUE(visitor->Login("v" + std::to_string(i)));
    // The roster unit arrives whole, never split by a delivery.
    const auto unit = visitor->ReadListUnit();
    ASSERT_GE(unit.size(), 4u);
    EXPECT_EQ(unit[0], "LF");
    EXPECT_EQ(unit[unit.size() - 2], "v" + std::to_string(i));
    if (i % 3 == 0) Reset(*visitor);
  }
  done = true;
  flood.join();
  ExpectHealthyAndStopClean();
}

}  // namespace
}  // namespace qs::test
