// The chat server: the TCP server layer with the connection handler that logs a client
// in, admits it to the roster, relays its chat messages and announces its departure.
//
// sckServerExecute runs once per connection on that connection's own thread. Handlers
// meet only at the state's RosterLock, which they take for the name check, each admission,
// each relayed message and each departure; every unit a logged-in client receives is
// queued under it, whole. Nothing that goes wrong in a handler reaches the operator.
#pragma once

#include <string>

#include "server/Roster.h"
#include "server/TcpServer.h"
#include "support/Toolz.h"

namespace qs {

class TChatServer {
 public:
  // state must outlive Deactivate (and the destructor).
  explicit TChatServer(TServerState& state, TServerOptions options = {});
  ~TChatServer();
  TChatServer(const TChatServer&) = delete;
  TChatServer& operator=(const TChatServer&) = delete;

  void Activate() { sckServer.Activate(); }  // throws TBindError
  void Deactivate() { sckServer.Deactivate(); }
  uint16_t BoundPort() const { return sckServer.BoundPort(); }

  void sckServerExecute(TContext& AContext);

  TTcpServer sckServer;

 private:
  void Refuse(TContext& context);
  void JoinStep(TContext& context, TThreadsAndUsers& entry, const std::string& name);
  void RelayStep(const std::string& name, const std::string& text);
  void DepartureStep(TThreadsAndUsers& entry);
  void Flush(uint32_t colour, std::string line) QS_REQUIRES(state_.RosterLock);
  void Refresh() QS_REQUIRES(state_.RosterLock);

  TServerState& state_;
};

// The event-log lines, as the handler builds them (UTF-8).
std::string AdmissionLine(const TDateTime& when, const std::string& name,
                          const std::string& address, bool swedish);
std::string DepartureLine(const TDateTime& when, const std::string& name,
                          const std::string& address, bool swedish);
std::string ChatLine(const TDateTime& when, const std::string& name, const std::string& text);

}  // namespace qs
