#include "server/Roster.h"

#include <algorithm>

#include "support/Toolz.h"

namespace qs {

bool TRoster::Remove(const TThreadsAndUsers* entry) {
  const auto it = std::find(entries_.begin(), entries_.end(), entry);
  if (it == entries_.end()) return false;
  entries_.erase(it);  // keeps the admission order of the rest
  return true;
}

bool TRoster::FindName(std::string_view name) const {
  return std::any_of(entries_.begin(), entries_.end(), [name](const TThreadsAndUsers* e) {
    return TextEquals(e->UserName, name, false);
  });
}

std::vector<std::string> TRoster::Names() const {
  std::vector<std::string> names;
  names.reserve(entries_.size());
  for (const TThreadsAndUsers* e : entries_) names.push_back(e->UserName);
  return names;
}

std::string TServerState::ServerPassword() const {
  return *password_.load(std::memory_order_acquire);
}

void TServerState::SetServerPassword(std::string password) {
  password_.store(std::make_shared<const std::string>(std::move(password)),
                  std::memory_order_release);
}

TServerState::TLogLine TServerState::TakePendingLogLine() {
  TLogLine line{std::move(PendingLogLine), PendingLogColour};
  PendingLogLine.clear();
  return line;
}

}  // namespace qs
