// Up to three clients send arbitrary bytes to a live chat server over loopback. Whatever
// they send, what comes back must be well-formed protocol, and afterwards every connection
// must end and a well-behaved client must still be admitted and have its message relayed.
//
// Input: [0] picks the client count (1 + [0] % 3) and the piece size (1 + [0] / 3); the
// rest is the clients' byte streams, separated by "#|#".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/Handler.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view kSeparator = "#|#";
constexpr int32_t kMaxText = 4096;
constexpr milliseconds kExchangeCap{30};  // per input: sending and collecting the replies
constexpr milliseconds kQuiet{3};         // no reply for this long: the server has said it all
constexpr milliseconds kExpected{2000};   // for things that must happen

[[noreturn]] void Fail(const char* what, int line) {
  std::fprintf(stderr, "fuzz_session: broken at line %d: %s\n", line, what);
  std::abort();
}
#define QS_CHECK(condition) ((condition) ? void(0) : Fail(#condition, __LINE__))

class TQuietFrontEnd final : public qs::IServerNotify {
 public:
  explicit TQuietFrontEnd(qs::TServerState& state) : state_(state) {}
  void RefreshUserList() override {}
  void FlushPendingLogLine() override {
    state_.RosterLock.AssertHeld();
    state_.TakePendingLogLine();
  }

 private:
  qs::TServerState& state_;
};

// One server for the whole run; starting one per input would dominate the run time.
struct TLiveServer {
  TLiveServer() {
    qs::TServerOptions options;
    options.port = 0;
    options.reader.readTimeoutMs = 50;
    options.writeTimeoutMs = 1000;
    options.maxTextLength = kMaxText;
    state.SetNotify(&frontEnd);
    state.SetServerPassword("pw");
    server = std::make_unique<qs::TChatServer>(state, options);
    server->Activate();
  }
  qs::TServerState state;
  TQuietFrontEnd frontEnd{state};
  std::unique_ptr<qs::TChatServer> server;
};

TLiveServer& Live() {
  static TLiveServer live;
  return live;
}

class TClient {
 public:
  explicit TClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    QS_CHECK(fd_ >= 0);
    // Every connection this client closes first holds its port in TIME_WAIT for a minute;
    // thousands of inputs a minute would use up the ephemeral ports of one source address,
    // so the clients take turns among the loopback addresses 127.0.0.1-127.0.0.250.
    static uint32_t turn = 0;
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + turn++ % 250);
    QS_CHECK(::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QS_CHECK(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    QS_CHECK(::fcntl(fd_, F_SETFL, O_NONBLOCK) == 0);
  }
  ~TClient() { ::close(fd_); }
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  int Fd() const { return fd_; }
  bool Closed() const { return closed_; }
  const std::string& Received() const { return received_; }

  // Sends up to piece bytes of what is left of data; false once nothing more will go.
  bool SendSome(std::string_view& data, std::size_t piece) {
    if (data.empty() || closed_) return false;
    const ssize_t n = ::send(fd_, data.data(), std::min(piece, data.size()), MSG_NOSIGNAL);
    if (n > 0) data.remove_prefix(static_cast<std::size_t>(n));
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) data = {};
    return !data.empty();
  }
  void SendAll(std::string_view data) {
    const auto deadline = Clock::now() + kExpected;
    while (SendSome(data, data.size())) QS_CHECK(Clock::now() < deadline);
  }

  // Takes what has arrived; true when anything did (or the server closed).
  bool Collect() {
    bool any = false;
    char chunk[65536];
    while (!closed_) {
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n > 0) {
        received_.append(chunk, static_cast<std::size_t>(n));
        any = true;
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        closed_ = true;
        any = true;
      } else if (errno != EINTR) {
        break;
      }
    }
    return any;
  }

  // For the probe: waits, bounded, until exactly these bytes have arrived.
  void Expect(std::string_view bytes) {
    const auto deadline = Clock::now() + kExpected;
    while (received_.size() < bytes.size() && !closed_ && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      ::poll(&p, 1, 10);
      Collect();
    }
    if (received_ != bytes) {
      std::fprintf(stderr, "fuzz_session: probe expected %zu bytes, got %zu\n", bytes.size(),
                   received_.size());
      Fail("the server no longer admits and relays", __LINE__);
    }
    received_.clear();
  }

 private:
  int fd_;
  bool closed_ = false;
  std::string received_;
};

// What a client's login stream names it: its first line, one CR dropped.
std::string_view NameSent(std::string_view stream) {
  const std::size_t lf = stream.find('\n');
  if (lf == std::string_view::npos) return {};
  std::string_view name = stream.substr(0, lf);
  if (!name.empty() && name.back() == '\r') name.remove_suffix(1);
  return name;
}

// Checks that what a client received is the protocol. The client stops listening at any
// moment, so the last piece may be cut short.
class TServerStream {
 public:
  TServerStream(std::string_view bytes, std::string_view name) : rest_(bytes), name_(name) {}

  void Check() {
    for (int answers = 0; answers < 3; ++answers) {
      if (rest_.empty() || IsPrefix(rest_, "OK!\r\n") || IsPrefix(rest_, "N/A\r\n")) return;
      if (Take("N/A\r\n")) {
        QS_CHECK(answers > 0);  // a password is set, so the greeting is always OK!
        QS_CHECK(rest_.empty());
        return;
      }
      QS_CHECK(Take("OK!\r\n"));
    }
    for (bool first = true; !rest_.empty(); first = false) {
      std::string_view keyword;
      if (!Line(keyword)) return;
      QS_CHECK(!first || keyword == "LF");
      if (keyword == "M") {
        std::string_view sender;
        if (!Line(sender)) return;
        QS_CHECK(!sender.empty());
        if (rest_.size() < 4) return;
        const auto* b = reinterpret_cast<const unsigned char*>(rest_.data());
        const auto length = static_cast<int32_t>((uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) |
                                                 (uint32_t{b[2]} << 8) | uint32_t{b[3]});
        QS_CHECK(length >= 0 && length <= kMaxText);
        rest_.remove_prefix(std::min(rest_.size(), std::size_t{4} + std::size_t(length)));
        continue;
      }
      QS_CHECK(keyword == "LF" || keyword == "LA" || keyword == "LD");
      std::string_view subject;
      if (!Line(subject)) return;
      QS_CHECK(!subject.empty() && subject != "@");
      if (first) QS_CHECK(subject == name_);
      bool present = false;
      for (std::string_view listed;;) {
        if (!Line(listed)) return;
        if (listed == "@") break;
        QS_CHECK(!listed.empty());
        present = present || listed == subject;
      }
      // The newcomer and the addressee are listed. A leaver's name may still be listed:
      // two logins whose name checks overlap can both be admitted under one name.
      if (keyword != "LD") QS_CHECK(present);
    }
  }

 private:
  static bool IsPrefix(std::string_view part, std::string_view whole) {
    return part.size() < whole.size() && whole.starts_with(part);
  }
  bool Take(std::string_view literal) {
    if (!rest_.starts_with(literal)) return false;
    rest_.remove_prefix(literal.size());
    return true;
  }
  // A whole CR LF line; false when the stream ends inside it.
  bool Line(std::string_view& line) {
    const std::size_t lf = rest_.find('\n');
    if (lf == std::string_view::npos) {
      rest_ = {};
      return false;
    }
    QS_CHECK(lf > 0 && rest_[lf - 1] == '\r');
    line = rest_.substr(0, lf - 1);
    rest_.remove_prefix(lf + 1);
    return true;
  }

  std::string_view rest_;
  std::string_view name_;
};

// Every handler has returned: nothing from this input can reach the next one.
void WaitForNoConnections(qs::TChatServer& server) {
  const auto deadline = Clock::now() + kExpected;
  while (server.sckServer.LiveConnections() != 0) {
    if (Clock::now() >= deadline) Fail("a connection outlived its client", __LINE__);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void Probe(TLiveServer& live) {
  using namespace std::string_view_literals;  // the texts hold NUL bytes
  TClient probe(live.server->BoundPort());
  probe.Expect("OK!\r\n");
  probe.SendAll("probe\r\n");
  probe.Expect("OK!\r\n");
  probe.SendAll("pw\r\n");
  probe.Expect("OK!\r\n");
  probe.SendAll("OK!\r\n");
  probe.Expect("LF\r\nprobe\r\nprobe\r\n@\r\n");
  probe.SendAll("MSG\r\n\0\0\0\4ping"sv);
  probe.Expect("M\r\nprobe\r\n\0\0\0\4ping"sv);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, std::size_t size) {
  if (size < 1) return 0;
  TLiveServer& live = Live();
  const std::size_t clientCount = 1 + input[0] % 3;
  const std::size_t piece = 1 + input[0] / 3;

  std::vector<std::string_view> streams;
  std::string_view rest(reinterpret_cast<const char*>(input) + 1, size - 1);
  while (streams.size() + 1 < clientCount) {
    const std::size_t at = rest.find(kSeparator);
    if (at == std::string_view::npos) break;
    streams.push_back(rest.substr(0, at));
    rest.remove_prefix(at + kSeparator.size());
  }
  streams.push_back(rest);

  {
    std::vector<std::unique_ptr<TClient>> clients;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      clients.push_back(std::make_unique<TClient>(live.server->BoundPort()));
    }
    std::vector<std::string_view> unsent = streams;
    const auto cap = Clock::now() + kExchangeCap;
    // Round-robin, a piece at a time, so the clients' bytes interleave at the server.
    for (bool sending = true; sending && Clock::now() < cap;) {
      sending = false;
      for (std::size_t i = 0; i < clients.size(); ++i) {
        sending = clients[i]->SendSome(unsent[i], piece) || sending;
        clients[i]->Collect();
      }
      if (!sending) break;
      std::vector<pollfd> fds;
      for (std::size_t i = 0; i < clients.size(); ++i) {
        if (!clients[i]->Closed()) {
          fds.push_back({clients[i]->Fd(), short(POLLIN | (unsent[i].empty() ? 0 : POLLOUT)), 0});
        }
      }
      ::poll(fds.data(), fds.size(), 1);
    }
    // Then listen until the server closes every connection or falls quiet.
    while (Clock::now() < cap) {
      std::vector<pollfd> fds;
      for (const auto& client : clients) {
        if (!client->Closed()) fds.push_back({client->Fd(), POLLIN, 0});
      }
      if (fds.empty() || ::poll(fds.data(), fds.size(), int(kQuiet.count())) <= 0) break;
      for (const auto& client : clients) client->Collect();
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
      TServerStream(clients[i]->Received(), NameSent(streams[i])).Check();
    }
  }

  WaitForNoConnections(*live.server);
  {
    qs::TMutexLock lock(live.state.RosterLock);  // every handler is gone; so is every entry
    QS_CHECK(live.state.Roster.Count() == 0);
  }
  Probe(live);
  WaitForNoConnections(*live.server);
  return 0;
}
