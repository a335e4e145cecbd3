// The state the connection handlers share with each other and with the front end: the
// roster of logged-in users, the one lock that guards it, the server password and the slot
// through which a handler hands one event-log line to the front end.
//
// One TServerState exists per running server; the front end owns it and it must outlive
// the server's deactivation. RosterLock is the only lock handlers take: never nested,
// never while waiting for their own client's input. ServerPassword is read and replaced
// as a whole value from any thread without the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/Mutex.h"

namespace qs {

class TContext;

inline constexpr uint32_t kColourGreen = 0x008000;  // 0x00BBGGRR
inline constexpr uint32_t kColourNavy = 0x800000;

// One logged-in user. Owned by its handler; the roster holds its address only.
struct TThreadsAndUsers {
  TContext* Context = nullptr;
  std::string UserName;  // as received at login, one byte per character
};

// Admission order, earliest first. Every member requires RosterLock.
class TRoster {
 public:
  void Append(TThreadsAndUsers* entry) { entries_.push_back(entry); }
  // Finds the entry by identity; false (and no change) when it is not there.
  bool Remove(const TThreadsAndUsers* entry);
  std::size_t Count() const { return entries_.size(); }
  TThreadsAndUsers CopyAt(std::size_t position) const { return *entries_.at(position); }
  // The one field a broadcast needs, without copying the name.
  TContext* ContextAt(std::size_t position) const { return entries_.at(position)->Context; }
  bool IsAt(std::size_t position, const TThreadsAndUsers* entry) const {
    return position < entries_.size() && entries_[position] == entry;
  }
  // Whether a user name equals name ignoring letter case.
  bool FindName(std::string_view name) const;
  std::vector<std::string> Names() const;

 private:
  std::vector<TThreadsAndUsers*> entries_;
};

// What the front end does for the handlers. Both are called on a handler thread while it
// holds RosterLock: take what is needed (names, the line), hand it on and return. Never
// wait for another thread here; the UI thread may be waiting for this handler to end.
class IServerNotify {
 public:
  virtual ~IServerNotify() = default;
  virtual void RefreshUserList() = 0;
  virtual void FlushPendingLogLine() = 0;
};

class TServerState {
 public:
  explicit TServerState(IServerNotify* notify = nullptr) : notify_(notify) {}
  TServerState(const TServerState&) = delete;
  TServerState& operator=(const TServerState&) = delete;

  TMutex RosterLock;
  TRoster Roster QS_GUARDED_BY(RosterLock);
  std::string PendingLogLine QS_GUARDED_BY(RosterLock);  // UTF-8; empty: nothing pending
  uint32_t PendingLogColour QS_GUARDED_BY(RosterLock) = 0;

  // The password as UTF-8; empty turns every client away.
  std::string ServerPassword() const;
  void SetServerPassword(std::string password);

  // Set once before the server listens.
  void SetNotify(IServerNotify* notify) { notify_ = notify; }
  IServerNotify* Notify() const { return notify_; }

  // For FlushPendingLogLine implementations: the pending line and its colour, leaving the
  // slot empty.
  struct TLogLine {
    std::string text;
    uint32_t colour = 0;
  };
  TLogLine TakePendingLogLine() QS_REQUIRES(RosterLock);

 private:
  std::atomic<std::shared_ptr<const std::string>> password_{std::make_shared<const std::string>()};
  IServerNotify* notify_;
};

}  // namespace qs
