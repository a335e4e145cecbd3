// A chat server on an ephemeral port with a front end that records what it is handed.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/Handler.h"
#include "tests/TestClient.h"

namespace qs::test {

class TRecorder final : public IServerNotify {
 public:
  explicit TRecorder(TServerState& state) : state_(state) {}

  void RefreshUserList() override {
    state_.RosterLock.AssertHeld();
    std::lock_guard<std::mutex> guard(mutex_);  // test bookkeeping only
    lists_.push_back(state_.Roster.Names());
    changed_.notify_all();
  }
  void FlushPendingLogLine() override {
    state_.RosterLock.AssertHeld();
    auto line = state_.TakePendingLogLine();
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(std::move(line));
    changed_.notify_all();
  }

  // Waits (bounded) until at least count log lines have arrived; returns a copy of them.
  std::vector<TServerState::TLogLine> WaitForLines(std::size_t count, int waitMs = kWaitMs) {
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait_for(guard, std::chrono::milliseconds(waitMs),
                      [&] { return lines_.size() >= count; });
    return lines_;
  }
  std::vector<std::vector<std::string>> Lists() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lists_;
  }

 private:
  TServerState& state_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TServerState::TLogLine> lines_;
  std::vector<std::vector<std::string>> lists_;
};

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override { TEST_SetLocale(kLocaleEnglishUs, U','); }

  void Start(TServerOptions options = {}, std::string password = "secret") {
    options.port = 0;
    state_.SetNotify(&recorder_);
    state_.SetServerPassword(std::move(password));
    server_ = std::make_unique<TChatServer>(state_, options);
    server_->Activate();
  }
  void TearDown() override {
    if (server_) server_->Deactivate();
  }

  std::unique_ptr<TTestClient> Connect() { return std::make_unique<TTestClient>(Port()); }
  // Logs in and reads the roster unit.
  std::unique_ptr<TTestClient> Join(const std::string& name) {
    auto client = Connect();
    EXPECT_TRUE(client->Login(name)) << name;
    const auto unit = client->ReadListUnit();
    EXPECT_TRUE(unit.size() >= 3 && unit[0] == "LF" && unit[1] == name) << name;
    return client;
  }
  uint16_t Port() const { return server_->BoundPort(); }

  TServerState state_;
  TRecorder recorder_{state_};
  std::unique_ptr<TChatServer> server_;
};

}  // namespace qs::test
