#include "server/Handler.h"

#include <exception>

namespace qs {

namespace {

std::string Stamp(const TDateTime& when) {
  return "[" + FormatDate(when) + ", " + FormatTime(when) + "]";
}

std::string UserLine(const TDateTime& when, const std::string& name, const std::string& address,
                     const char* phrase, bool swedish) {
  return Stamp(when) + " * " + ChooseText(swedish, "Användaren", "User") + " \"" +
         Latin1ToUtf8(name) + "\" (" + address + ") " + phrase + ".";
}

// The list part of the roster, arrival and departure units: every name, then "@".
std::string NameList(const TRoster& roster) {
  TUnitBuilder list;
  for (std::size_t i = 0; i < roster.Count(); ++i) list.WriteLine(roster.CopyAt(i).UserName);
  list.WriteLine("@");
  return std::move(list.Bytes());
}

TSharedBytes ListUnit(const char* keyword, const std::string& subject, const std::string& list) {
  TUnitBuilder unit;
  unit.Bytes().reserve(subject.size() + list.size() + 8);
  unit.WriteLine(keyword).WriteLine(subject).WriteText(list);
  return unit.Finish();
}

// A chat line without its time stamp; the relay builds it before taking the lock.
std::string ChatBody(const std::string& name, const std::string& text) {
  return "<" + Latin1ToUtf8(name) + "> " + Latin1ToUtf8(text);
}

}  // namespace

std::string AdmissionLine(const TDateTime& when, const std::string& name,
                          const std::string& address, bool swedish) {
  return UserLine(when, name, address, ChooseText(swedish, "har loggat in", "has logged in"),
                  swedish);
}

std::string DepartureLine(const TDateTime& when, const std::string& name,
                          const std::string& address, bool swedish) {
  return UserLine(when, name, address, ChooseText(swedish, "har loggat ut", "has logged out"),
                  swedish);
}

std::string ChatLine(const TDateTime& when, const std::string& name, const std::string& text) {
  return Stamp(when) + " " + ChatBody(name, text);
}

TChatServer::TChatServer(TServerState& state, TServerOptions options)
    : sckServer(
          std::move(options), [this](TContext& context) { sckServerExecute(context); },
          state.RosterLock),
      state_(state) {}

TChatServer::~TChatServer() {
  sckServer.Deactivate();
}

void TChatServer::Refresh() {
  if (IServerNotify* notify = state_.Notify()) notify->RefreshUserList();
}

void TChatServer::Flush(uint32_t colour, std::string line) {
  state_.PendingLogColour = colour;
  state_.PendingLogLine = std::move(line);
  if (IServerNotify* notify = state_.Notify()) notify->FlushPendingLogLine();
  state_.PendingLogLine.clear();  // empty whenever the lock is free, whatever the front end did
}

void TChatServer::Refuse(TContext& context) {
  try {
    context.WriteLine("N/A");
  } catch (const std::exception&) {
  }
  context.DiscardInputAndDisconnect();
}

void TChatServer::sckServerExecute(TContext& AContext) {
  TContext& context = AContext;
  std::string name;
  // Login: any failure ends the run with no reply and no log line; the roster is untouched.
  try {
    if (state_.ServerPassword().empty()) return Refuse(context);
    context.WriteLine("OK!");
    name = context.ReadLine();
    if (name.empty() || name == "@") return Refuse(context);
    bool taken = false;
    {
      TMutexLock lock(state_.RosterLock);  // name check: reads the roster only
      taken = state_.Roster.FindName(name);
    }
    if (taken) return Refuse(context);
    context.WriteLine("OK!");
    const std::string password = context.ReadLine();
    // The password is held as UTF-8; the client's bytes are characters 0-255.
    if (password.empty() || Latin1ToUtf8(password) != state_.ServerPassword()) {
      return Refuse(context);
    }
    context.WriteLine("OK!");
    if (context.ReadLine() != "OK!") {
      context.Disconnect();
      return;
    }
  } catch (const std::exception&) {
    return;
  }

  TThreadsAndUsers entry;  // in the roster from JoinStep to DepartureStep
  JoinStep(context, entry, name);

  try {
    for (;;) {
      const std::string line = context.ReadLine();
      if (line == "MSG") {
        const int32_t count = context.ReadInt32();
        if (count > sckServer.Options().maxTextLength) {
          context.Disconnect();  // the announced text is never read
          break;
        }
        RelayStep(name, context.ReadText(count));
      }
      if (!context.Connected()) break;
    }
  } catch (const std::exception&) {
    context.Disconnect();
  }

  DepartureStep(entry);
}

void TChatServer::JoinStep(TContext& context, TThreadsAndUsers& entry, const std::string& name) {
  const bool swedish = IsSwedish();
  TMutexLock lock(state_.RosterLock);  // admission: roster, user list, log line, LA/LF units
  try {
    entry.Context = &context;
    entry.UserName = name;
    state_.Roster.Append(&entry);
    Refresh();
    Flush(kColourGreen, AdmissionLine(Now(), name, context.PeerAddress(), swedish));
    // Every other user gets the same arrival unit, so it is built once and shared.
    const std::string list = NameList(state_.Roster);
    const TSharedBytes arrival = ListUnit("LA", name, list);
    const TSharedBytes roster = ListUnit("LF", name, list);
    for (std::size_t i = 0; i < state_.Roster.Count(); ++i) {
      if (state_.Roster.IsAt(i, &entry)) {
        context.QueueUnit(roster);
      } else {
        state_.Roster.ContextAt(i)->QueueUnit(arrival);
      }
    }
  } catch (const std::exception&) {
    // The step ends here; the relay phase begins and the departure cleans up.
  }
}

void TChatServer::RelayStep(const std::string& name, const std::string& text) {
  // Everything that does not depend on the moment is built before taking the lock.
  TUnitBuilder builder;
  builder.Bytes().reserve(name.size() + text.size() + 11);
  builder.WriteLine("M").WriteLine(name).WriteInt32(static_cast<int32_t>(text.size()));
  builder.WriteText(text);
  const TSharedBytes delivery = builder.Finish();
  const std::string body = ChatBody(name, text);

  TMutexLock lock(state_.RosterLock);  // one chat message: log line and every delivery
  const TDateTime when = Now();
  std::string line = Stamp(when);
  line.reserve(line.size() + 1 + body.size());
  line.append(" ").append(body);
  Flush(kColourNavy, std::move(line));
  for (std::size_t i = 0; i < state_.Roster.Count(); ++i) {
    state_.Roster.ContextAt(i)->QueueUnit(delivery);
  }
}

void TChatServer::DepartureStep(TThreadsAndUsers& entry) {
  const bool swedish = IsSwedish();
  TMutexLock lock(state_.RosterLock);  // departure: roster, user list, log line, LD units
  try {
    if (!state_.Roster.Remove(&entry)) return;
    Refresh();
    Flush(kColourGreen,
          DepartureLine(Now(), entry.UserName, entry.Context->PeerAddress(), swedish));
    const TSharedBytes departure = ListUnit("LD", entry.UserName, NameList(state_.Roster));
    for (std::size_t i = 0; i < state_.Roster.Count(); ++i) {
      state_.Roster.ContextAt(i)->QueueUnit(departure);
    }
  } catch (const std::exception&) {
  }
}

}  // namespace qs
