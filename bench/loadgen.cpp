// Load generator for comparing Quillsend Server with IRC servers on loopback.
// One thread, epoll, non-blocking sockets. Prints one "RESULT_KV" line on stdout that the
// driver script turns into a RESULT line; progress and errors go to stderr.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) Reset(std::exchange(o.fd_, -1));
    return *this;
  }
  ~UniqueFd() { Reset(); }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

[[noreturn]] void Die(const std::string& msg) {
  std::fprintf(stderr, "loadgen: %s\n", msg.c_str());
  std::exit(2);
}

enum class Proto { kQuill, kIrc };
enum class Workload { kFanout, kAdmit, kStall, kIdle };
enum class Ack { kEcho, kObserver };

struct Options {
  Proto proto = Proto::kQuill;
  Workload workload = Workload::kFanout;
  std::string host = "127.0.0.1";
  int port = 4080;
  int clients = 100;
  int senders = 10;
  double duration_s = 10.0;
  int window = 4;
  int text_size = 100;
  bool quickack = false;
  std::optional<Ack> ack;
  std::string password = "secret";
  std::string channel = "#bench";
  int server_pid = 0;
  int max_inflight = 64;     // handshakes in progress at once, keeps the listen backlog small
  int connect_rate = 2000;   // new connection attempts per second
  double ready_wait_s = 15;  // how long to wait for the server to start listening
  double setup_timeout_s = 120;
  double admit_timeout_s = 60;
  int stall_rcvbuf = 65536;  // 0 keeps the system default
};

void Usage() {
  std::fprintf(stderr,
               "usage: qs-loadgen --proto quill|irc --workload fanout|admit|stall|idle\n"
               "  [--host 127.0.0.1] [--port P] [-n CLIENTS] [--senders 10] [--duration 10]\n"
               "  [--window 4] [--text 100] [--quickack] [--ack echo|observer]\n"
               "  [--password secret] [--channel #bench] [--pid SERVER_PID]\n"
               "  [--inflight 64] [--connect-rate 2000] [--ready-wait 15]\n"
               "  [--setup-timeout 120] [--admit-timeout 60] [--stall-rcvbuf 65536]\n");
}

Options ParseArgs(int argc, char** argv) {
  Options o;
  bool clients_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        Usage();
        Die("missing value for " + a);
      }
      return argv[++i];
    };
    if (a == "--proto") {
      std::string v = next();
      if (v == "quill")
        o.proto = Proto::kQuill;
      else if (v == "irc")
        o.proto = Proto::kIrc;
      else
        Die("unknown proto " + v);
    } else if (a == "--workload") {
      std::string v = next();
      if (v == "fanout")
        o.workload = Workload::kFanout;
      else if (v == "admit")
        o.workload = Workload::kAdmit;
      else if (v == "stall")
        o.workload = Workload::kStall;
      else if (v == "idle")
        o.workload = Workload::kIdle;
      else
        Die("unknown workload " + v);
    } else if (a == "--host") {
      o.host = next();
    } else if (a == "--port") {
      o.port = std::stoi(next());
    } else if (a == "-n" || a == "--clients") {
      o.clients = std::stoi(next());
      clients_given = true;
    } else if (a == "--senders") {
      o.senders = std::stoi(next());
    } else if (a == "--duration") {
      o.duration_s = std::stod(next());
    } else if (a == "--window") {
      o.window = std::stoi(next());
    } else if (a == "--text") {
      o.text_size = std::stoi(next());
    } else if (a == "--quickack") {
      o.quickack = true;
    } else if (a == "--ack") {
      std::string v = next();
      if (v == "echo")
        o.ack = Ack::kEcho;
      else if (v == "observer")
        o.ack = Ack::kObserver;
      else
        Die("unknown ack rule " + v);
    } else if (a == "--password") {
      o.password = next();
    } else if (a == "--channel") {
      o.channel = next();
    } else if (a == "--pid") {
      o.server_pid = std::stoi(next());
    } else if (a == "--inflight") {
      o.max_inflight = std::max(1, std::stoi(next()));
    } else if (a == "--connect-rate") {
      o.connect_rate = std::max(1, std::stoi(next()));
    } else if (a == "--ready-wait") {
      o.ready_wait_s = std::stod(next());
    } else if (a == "--setup-timeout") {
      o.setup_timeout_s = std::stod(next());
    } else if (a == "--admit-timeout") {
      o.admit_timeout_s = std::stod(next());
    } else if (a == "--stall-rcvbuf") {
      o.stall_rcvbuf = std::stoi(next());
    } else if (a == "-h" || a == "--help") {
      Usage();
      std::exit(0);
    } else {
      Usage();
      Die("unknown argument " + a);
    }
  }
  if (!clients_given) {
    if (o.workload == Workload::kAdmit) o.clients = 500;
    if (o.workload == Workload::kIdle) o.clients = 1000;
  }
  if (!o.ack) o.ack = o.proto == Proto::kQuill ? Ack::kEcho : Ack::kObserver;
  if (o.proto == Proto::kIrc && *o.ack == Ack::kEcho)
    Die("IRC servers do not echo a channel message to its sender; use --ack observer");
  if (o.workload == Workload::kFanout || o.workload == Workload::kStall) {
    // Client 0 is the observer and never sends, so it can acknowledge for every sender.
    if (o.senders < 1 || o.senders > o.clients - 1) Die("--senders must be in [1, clients-1]");
  } else {
    o.senders = 0;
  }
  if (o.window < 1) Die("--window must be >= 1");
  if (o.clients < 1 || o.clients > 100000) Die("bad client count");
  if (o.duration_s <= 0 || o.duration_s > 3600) Die("bad duration");
  return o;
}

void RaiseFdLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
}

struct ProcStatus {
  long rss_kb = -1;
  long threads = -1;
};

ProcStatus ReadProcStatus(int pid) {
  ProcStatus st;
  if (pid <= 0) return st;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) st.rss_kb = std::strtol(line.c_str() + 6, nullptr, 10);
    if (line.rfind("Threads:", 0) == 0) st.threads = std::strtol(line.c_str() + 8, nullptr, 10);
  }
  return st;
}

enum class State {
  kIdle,         // not started yet
  kConnecting,   // non-blocking connect in progress
  kWaitGreet,    // quill: waiting for the server's first OK!
  kWaitNameOk,   // quill
  kWaitPassOk,   // quill
  kWaitRoster,   // quill: sent the confirmation, waiting for our LF unit
  kWaitWelcome,  // irc: waiting for 001
  kWaitNames,    // irc: joined, waiting for end of NAMES (366)
  kAdmitted,
  kClosed,
};

// Where the quill parser is inside a server unit.
enum class QPart { kLine, kList, kSender, kLen, kBody };

struct Client {
  int idx = 0;
  std::string name;
  UniqueFd fd;
  State state = State::kIdle;
  uint32_t events = 0;  // current epoll interest
  std::string out;
  size_t out_off = 0;
  std::string in;
  size_t in_off = 0;
  QPart qpart = QPart::kLine;
  bool list_is_own_roster = false;
  int32_t body_len = 0;
  int attempts = 0;
  int64_t retry_at_ns = 0;
  bool stalled = false;  // logged in but never reads again
  bool stall_candidate = false;
  int sender_id = -1;
  uint64_t bytes_in = 0;
};

struct Sender {
  int client = 0;
  uint64_t next_seq = 0;
  uint64_t acked = 0;              // every seq below this has been answered
  std::deque<int64_t> send_times;  // send time of each unanswered message, oldest first
  uint64_t timeouts = 0;
};

// Messages unanswered for this long are written off so a lost message cannot freeze a sender.
constexpr int64_t kAckTimeoutNs = 5'000'000'000;

class LoadGen {
 public:
  explicit LoadGen(Options o) : opt_(std::move(o)) {
    epfd_.Reset(epoll_create1(EPOLL_CLOEXEC));
    if (!epfd_.Valid()) Die("epoll_create1 failed");
    std::memset(&addr_, 0, sizeof addr_);
    addr_.sin_family = AF_INET;
    addr_.sin_port = htons(static_cast<uint16_t>(opt_.port));
    if (inet_pton(AF_INET, opt_.host.c_str(), &addr_.sin_addr) != 1) Die("bad IPv4 host");
    start_ns_ = NowNs();
  }

  int Run() {
    WaitForListener();
    switch (opt_.workload) {
      case Workload::kFanout:
        return RunFanout(false);
      case Workload::kStall:
        return RunFanout(true);
      case Workload::kAdmit:
        return RunAdmit();
      case Workload::kIdle:
        return RunIdle();
    }
    return 2;
  }

 private:
  // ---- setup helpers ----

  void WaitForListener() {
    int64_t deadline = NowNs() + static_cast<int64_t>(opt_.ready_wait_s * 1e9);
    for (int attempt = 0; attempt < 100000; ++attempt) {
      UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (s.Valid() && connect(s.Get(), reinterpret_cast<sockaddr*>(&addr_), sizeof addr_) == 0)
        return;
      if (NowNs() > deadline) Die("server is not accepting connections on the port");
      usleep(50'000);
    }
    Die("server is not accepting connections");
  }

  void AddClients(int count, const std::string& prefix) {
    for (int i = 0; i < count; ++i) {
      Client c;
      c.idx = static_cast<int>(clients_.size());
      char buf[32];
      std::snprintf(buf, sizeof buf, "%s%04d", prefix.c_str(), c.idx);
      c.name = buf;
      clients_.push_back(std::move(c));
    }
  }

  void SetInterest(Client& c, uint32_t ev) {
    if (!c.fd.Valid() || ev == c.events) return;
    epoll_event e{};
    e.events = ev;
    e.data.u32 = static_cast<uint32_t>(c.idx);
    epoll_ctl(epfd_.Get(), EPOLL_CTL_MOD, c.fd.Get(), &e);
    c.events = ev;
  }

  void UpdateInterest(Client& c) {
    if (c.state == State::kConnecting) return;
    uint32_t ev = c.stalled ? 0u : static_cast<uint32_t>(EPOLLIN);
    if (c.out_off < c.out.size()) ev |= EPOLLOUT;
    SetInterest(c, ev);
  }

  bool StartConnect(Client& c) {
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.Valid()) Die(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(s.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (c.stall_candidate && opt_.stall_rcvbuf > 0) {
      // Without this the kernels on both ends soak up many megabytes before the server's own
      // queue limit is reached, and no server would drop the client within a short run.
      setsockopt(s.Get(), SOL_SOCKET, SO_RCVBUF, &opt_.stall_rcvbuf, sizeof opt_.stall_rcvbuf);
    }
    int r = connect(s.Get(), reinterpret_cast<sockaddr*>(&addr_), sizeof addr_);
    if (r != 0 && errno != EINPROGRESS) return false;
    c.fd = std::move(s);
    c.out.clear();
    c.out_off = 0;
    c.in.clear();
    c.in_off = 0;
    c.qpart = QPart::kLine;
    c.state = State::kConnecting;
    epoll_event e{};
    e.events = EPOLLOUT;
    e.data.u32 = static_cast<uint32_t>(c.idx);
    if (epoll_ctl(epfd_.Get(), EPOLL_CTL_ADD, c.fd.Get(), &e) != 0) Die("epoll_ctl add failed");
    c.events = EPOLLOUT;
    ++inflight_;
    return true;
  }

  void OnConnected(Client& c) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(c.fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      FailHandshake(c, std::strerror(err));
      return;
    }
    if (opt_.proto == Proto::kQuill) {
      c.state = State::kWaitGreet;
    } else {
      c.state = State::kWaitWelcome;
      Send(c, "NICK " + c.name + "\r\nUSER " + c.name + " 0 * :" + c.name + "\r\n");
    }
    UpdateInterest(c);
  }

  // A connection that broke before admission is retried a few times; the server may simply be
  // busy, and the workloads measure steady state rather than connection failures.
  void FailHandshake(Client& c, const std::string& why) {
    if (c.fd.Valid()) {
      epoll_ctl(epfd_.Get(), EPOLL_CTL_DEL, c.fd.Get(), nullptr);
      c.fd.Reset();
    }
    --inflight_;
    ++connect_retries_;
    c.state = State::kIdle;
    if (++c.attempts >= 5) Die("client " + c.name + " could not log in: " + why);
    c.retry_at_ns = NowNs() + 100'000'000LL * c.attempts;
    pending_.push_back(c.idx);
  }

  void Admitted(Client& c) {
    c.state = State::kAdmitted;
    --inflight_;
    ++admitted_;
    if (on_admitted_) on_admitted_(c);
  }

  // Starts queued connections, never more than max_inflight at once nor faster than
  // connect_rate, so that the server's listen backlog is not overrun.
  void PumpConnects() {
    int64_t now = NowNs();
    int64_t gap = 1'000'000'000LL / opt_.connect_rate;
    size_t n = pending_.size();
    for (size_t i = 0; i < n && inflight_ < opt_.max_inflight; ++i) {
      if (next_connect_ns_ > now) break;
      int idx = pending_.front();
      pending_.pop_front();
      Client& c = clients_[static_cast<size_t>(idx)];
      if (c.retry_at_ns > now) {
        pending_.push_back(idx);
        continue;
      }
      if (!StartConnect(c)) {
        if (++c.attempts >= 5) Die("connect failed for " + c.name);
        c.retry_at_ns = now + 100'000'000LL * c.attempts;
        pending_.push_back(idx);
      }
      next_connect_ns_ = std::max(next_connect_ns_, now) + gap;
    }
  }

  // ---- I/O ----

  void Send(Client& c, std::string_view data) {
    if (c.out_off == c.out.size()) {
      c.out.clear();
      c.out_off = 0;
    }
    c.out.append(data);
    Flush(c);
  }

  void Flush(Client& c) {
    while (c.fd.Valid() && c.out_off < c.out.size()) {
      ssize_t n =
          ::send(c.fd.Get(), c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL);
      if (n > 0) {
        c.out_off += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      OnBroken(c, n < 0 ? std::strerror(errno) : "send returned 0");
      return;
    }
    if (c.out_off == c.out.size()) {
      c.out.clear();
      c.out_off = 0;
    }
    UpdateInterest(c);
  }

  void OnBroken(Client& c, const std::string& why) {
    if (c.state == State::kClosed || c.state == State::kIdle) return;
    if (c.state != State::kAdmitted) {
      FailHandshake(c, why);
      return;
    }
    if (c.stalled && stall_closed_ns_ == 0) stall_closed_ns_ = NowNs();
    if (!c.stalled) {
      ++lost_clients_;
      std::fprintf(stderr, "loadgen: %s disconnected: %s\n", c.name.c_str(), why.c_str());
    }
    epoll_ctl(epfd_.Get(), EPOLL_CTL_DEL, c.fd.Get(), nullptr);
    c.fd.Reset();
    c.state = State::kClosed;
  }

  void OnReadable(Client& c) {
    char buf[65536];
    // A bounded number of reads per wakeup keeps one busy socket from starving the others.
    for (int i = 0; i < 8 && c.fd.Valid(); ++i) {
      ssize_t n = ::recv(c.fd.Get(), buf, sizeof buf, 0);
      if (opt_.quickack) {
        int one = 1;
        setsockopt(c.fd.Get(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
      }
      if (n > 0) {
        c.bytes_in += static_cast<uint64_t>(n);
        total_bytes_in_ += static_cast<uint64_t>(n);
        c.in.append(buf, static_cast<size_t>(n));
        if (opt_.proto == Proto::kQuill)
          ParseQuill(c);
        else
          ParseIrc(c);
        if (c.in_off > 0 && c.in_off * 2 >= c.in.size()) {
          c.in.erase(0, c.in_off);
          c.in_off = 0;
        }
        if (static_cast<size_t>(n) < sizeof buf || c.stalled) break;
        continue;
      }
      if (n == 0) {
        OnBroken(c, "server closed the connection");
        return;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      OnBroken(c, std::strerror(errno));
      return;
    }
  }

  void HandleEvent(const epoll_event& e) {
    Client& c = clients_[e.data.u32];
    if (!c.fd.Valid()) return;
    if (c.state == State::kConnecting) {
      if (e.events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) OnConnected(c);
      return;
    }
    if (c.stalled && (e.events & (EPOLLERR | EPOLLHUP))) {
      OnBroken(c, "reset");
      return;
    }
    if (e.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) OnReadable(c);
    if (c.fd.Valid() && (e.events & EPOLLOUT)) Flush(c);
  }

  // Runs the event loop until done() or the deadline; tick() runs at least every few ms.
  bool Loop(const std::function<bool()>& done, int64_t deadline_ns,
            const std::function<void()>& tick) {
    epoll_event evs[256];
    while (!done()) {
      int64_t now = NowNs();
      if (now >= deadline_ns) return false;
      PumpConnects();
      if (tick) tick();
      int timeout_ms = static_cast<int>(std::min<int64_t>((deadline_ns - now) / 1'000'000, 2));
      int n = epoll_wait(epfd_.Get(), evs, 256, std::max(timeout_ms, 0));
      if (n < 0 && errno != EINTR) Die("epoll_wait failed");
      for (int i = 0; i < n; ++i) HandleEvent(evs[i]);
    }
    return true;
  }

  // ---- protocol parsing ----

  static bool TakeLine(Client& c, std::string_view& line) {
    size_t pos = c.in.find('\n', c.in_off);
    if (pos == std::string::npos) return false;
    size_t end = pos;
    if (end > c.in_off && c.in[end - 1] == '\r') --end;
    line = std::string_view(c.in).substr(c.in_off, end - c.in_off);
    c.in_off = pos + 1;
    return true;
  }

  void ParseQuill(Client& c) {
    while (c.fd.Valid()) {
      std::string_view line;
      if (c.qpart == QPart::kLen) {
        if (c.in.size() - c.in_off < 4) return;
        auto* p = reinterpret_cast<const unsigned char*>(c.in.data() + c.in_off);
        uint32_t v = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        c.body_len = static_cast<int32_t>(v);
        c.in_off += 4;
        if (c.body_len < 0 || c.body_len > (64 << 20)) Die("bad message length from server");
        c.qpart = QPart::kBody;
        continue;
      }
      if (c.qpart == QPart::kBody) {
        if (c.in.size() - c.in_off < static_cast<size_t>(c.body_len)) return;
        std::string_view text = std::string_view(c.in).substr(c.in_off, c.body_len);
        c.in_off += static_cast<size_t>(c.body_len);
        c.qpart = QPart::kLine;
        OnText(c, text);
        continue;
      }
      if (!TakeLine(c, line)) return;
      switch (c.qpart) {
        case QPart::kSender:
          c.qpart = QPart::kLen;
          continue;
        case QPart::kList:
          if (line == "@") {
            c.qpart = QPart::kLine;
            if (c.list_is_own_roster && c.state == State::kWaitRoster) Admitted(c);
          }
          continue;
        default:
          break;
      }
      switch (c.state) {
        case State::kWaitGreet:
          if (line != "OK!") Die("server refused the connection (is a password set?)");
          c.state = State::kWaitNameOk;
          Send(c, c.name + "\r\n");
          continue;
        case State::kWaitNameOk:
          if (line != "OK!") Die("server refused the name " + c.name);
          c.state = State::kWaitPassOk;
          Send(c, opt_.password + "\r\n");
          continue;
        case State::kWaitPassOk:
          if (line != "OK!") Die("server refused the password");
          c.state = State::kWaitRoster;
          Send(c, "OK!\r\n");
          continue;
        default:
          break;
      }
      if (line == "M") {
        c.qpart = QPart::kSender;
      } else if (line == "LF" || line == "LA" || line == "LD") {
        c.qpart = QPart::kList;
        c.list_is_own_roster = line == "LF";
      }
    }
  }

  void ParseIrc(Client& c) {
    std::string_view line;
    while (c.fd.Valid() && TakeLine(c, line)) {
      if (line.starts_with("PING")) {
        Send(c, "PONG" + std::string(line.substr(4)) + "\r\n");
        continue;
      }
      std::string_view rest = line;
      if (rest.starts_with(':')) {
        size_t sp = rest.find(' ');
        if (sp == std::string_view::npos) continue;
        rest = rest.substr(sp + 1);
      }
      size_t sp = rest.find(' ');
      std::string_view cmd = rest.substr(0, sp);
      if (cmd == "PRIVMSG") {
        size_t colon = rest.find(" :");
        if (colon != std::string_view::npos) OnText(c, rest.substr(colon + 2));
      } else if (cmd == "001") {
        if (c.state == State::kWaitWelcome) {
          c.state = State::kWaitNames;
          Send(c, "JOIN " + opt_.channel + "\r\n");
        }
      } else if (cmd == "366") {
        if (c.state == State::kWaitNames) Admitted(c);
      } else if (cmd == "432" || cmd == "433" || cmd == "436") {
        Die("server refused the nick " + c.name);
      } else if (cmd == "ERROR") {
        std::fprintf(stderr, "loadgen: %s got %.*s\n", c.name.c_str(),
                     static_cast<int>(line.size()), line.data());
      }
    }
  }

  // ---- fanout measurement ----

  std::string MakeText(int sid, uint64_t seq, int64_t ts) const {
    char head[64];
    int n = std::snprintf(head, sizeof head, "q%d.%" PRIu64 ".%" PRId64 ".", sid, seq, ts);
    std::string s(head, static_cast<size_t>(n));
    if (static_cast<int>(s.size()) < opt_.text_size)
      s.append(static_cast<size_t>(opt_.text_size) - s.size(), 'x');
    return s;
  }

  static bool ParseText(std::string_view t, int& sid, uint64_t& seq, int64_t& ts) {
    if (t.empty() || t[0] != 'q') return false;
    const char* p = t.data() + 1;
    const char* end = t.data() + t.size();
    auto r1 = std::from_chars(p, end, sid);
    if (r1.ec != std::errc() || r1.ptr == end || *r1.ptr != '.') return false;
    auto r2 = std::from_chars(r1.ptr + 1, end, seq);
    if (r2.ec != std::errc() || r2.ptr == end || *r2.ptr != '.') return false;
    auto r3 = std::from_chars(r2.ptr + 1, end, ts);
    return r3.ec == std::errc();
  }

  void OnText(Client& c, std::string_view text) {
    int sid = 0;
    uint64_t seq = 0;
    int64_t ts = 0;
    if (!ParseText(text, sid, seq, ts) || sid < 0 || sid >= static_cast<int>(senders_.size()))
      return;
    int64_t now = NowNs();
    bool own = c.sender_id == sid;
    if (own) {
      ++echoes_;
    } else if (measuring_ && now <= measure_end_ns_) {
      ++deliveries_;
      if (latencies_.size() < kMaxSamples) latencies_.push_back(now - ts);
    }
    bool acks = (*opt_.ack == Ack::kEcho) ? own : (c.idx == 0);
    if (acks) {
      Sender& s = senders_[static_cast<size_t>(sid)];
      while (s.acked <= seq && !s.send_times.empty()) {
        s.send_times.pop_front();
        ++s.acked;
      }
    }
  }

  void DriveSenders(int64_t now) {
    for (size_t i = 0; i < senders_.size(); ++i) {
      Sender& s = senders_[i];
      Client& c = clients_[static_cast<size_t>(s.client)];
      if (c.state != State::kAdmitted) continue;
      while (!s.send_times.empty() && now - s.send_times.front() > kAckTimeoutNs) {
        s.send_times.pop_front();
        ++s.acked;
        ++s.timeouts;
      }
      // Never queue locally: a full socket means the server is not keeping up, and waiting is
      // exactly what a real client would have to do.
      while (static_cast<int>(s.send_times.size()) < opt_.window && c.out_off == c.out.size()) {
        std::string text = MakeText(static_cast<int>(i), s.next_seq, now);
        std::string wire;
        if (opt_.proto == Proto::kQuill) {
          wire = "MSG\r\n";
          uint32_t len = static_cast<uint32_t>(text.size());
          char be[4] = {static_cast<char>(len >> 24), static_cast<char>(len >> 16),
                        static_cast<char>(len >> 8), static_cast<char>(len)};
          wire.append(be, 4);
          wire += text;
        } else {
          wire = "PRIVMSG " + opt_.channel + " :" + text + "\r\n";
        }
        s.send_times.push_back(now);
        ++s.next_seq;
        ++msgs_sent_;
        Send(c, wire);
        if (!c.fd.Valid()) break;
      }
    }
  }

  // Logs everyone in, waits for the join chatter to settle, then measures.
  bool SetupClients(int count, bool extra_stall) {
    AddClients(count, "u");
    if (extra_stall) {
      AddClients(1, "s");
      clients_.back().stall_candidate = true;
    }
    for (auto& c : clients_) pending_.push_back(c.idx);
    int64_t deadline = NowNs() + static_cast<int64_t>(opt_.setup_timeout_s * 1e9);
    bool ok = Loop([&] { return admitted_ == static_cast<int>(clients_.size()); }, deadline, {});
    if (!ok) {
      std::fprintf(stderr, "loadgen: only %d of %zu clients logged in\n", admitted_,
                   clients_.size());
      return false;
    }
    setup_s_ = static_cast<double>(NowNs() - start_ns_) / 1e9;
    SettleQuiet(300'000'000, 5'000'000'000);
    return true;
  }

  // Keeps reading until no bytes arrive for quiet_ns (or max_ns passes).
  void SettleQuiet(int64_t quiet_ns, int64_t max_ns) {
    int64_t end = NowNs() + max_ns;
    uint64_t last_bytes = total_bytes_in_;
    int64_t last_change = NowNs();
    Loop(
        [&] {
          int64_t now = NowNs();
          if (total_bytes_in_ != last_bytes) {
            last_bytes = total_bytes_in_;
            last_change = now;
          }
          return now - last_change >= quiet_ns;
        },
        end, {});
  }

  int RunFanout(bool stall) {
    if (!SetupClients(opt_.clients, stall)) return 1;
    Client* stall_client = nullptr;
    if (stall) {
      stall_client = &clients_.back();
      stall_client->stalled = true;
      UpdateInterest(*stall_client);
    }
    for (int i = 0; i < opt_.senders; ++i) {
      Sender s;
      s.client = 1 + i;
      clients_[static_cast<size_t>(s.client)].sender_id = i;
      senders_.push_back(s);
    }
    latencies_.reserve(1 << 22);
    measuring_ = true;
    int64_t t0 = NowNs();
    measure_end_ns_ = t0 + static_cast<int64_t>(opt_.duration_s * 1e9);
    int64_t next_probe = t0;
    Loop([] { return false; }, measure_end_ns_,
         [&] {
           int64_t now = NowNs();
           DriveSenders(now);
           // The stalled client never reads, so a graceful close by the server stays queued behind
           // unread data and is never seen. Writing a blank line (ignored by every server here) to
           // a socket the server has closed makes its kernel answer with RST, which we do see.
           if (stall_client && stall_client->fd.Valid() && now >= next_probe) {
             next_probe = now + 50'000'000;
             Send(*stall_client, "\r\n");
           }
         });
    double elapsed = static_cast<double>(measure_end_ns_ - t0) / 1e9;

    uint64_t timeouts = 0;
    for (auto& s : senders_) timeouts += s.timeouts;
    std::printf("RESULT_KV clients=%d senders=%d window=%d text=%d quickack=%d ack=%s",
                opt_.clients, opt_.senders, opt_.window, opt_.text_size, opt_.quickack ? 1 : 0,
                *opt_.ack == Ack::kEcho ? "echo" : "observer");
    std::printf(" count=receivers_excluding_sender duration_s=%.3f setup_s=%.3f msgs_sent=%" PRIu64
                " deliveries=%" PRIu64 " echoes=%" PRIu64 " deliveries_per_s=%.0f",
                elapsed, setup_s_, msgs_sent_, deliveries_, echoes_,
                static_cast<double>(deliveries_) / elapsed);
    PrintLatency();
    std::printf(" ack_timeouts=%" PRIu64 " lost_clients=%d connect_retries=%d", timeouts,
                lost_clients_, connect_retries_);
    if (stall) {
      if (stall_closed_ns_ != 0)
        std::printf(" stall_disconnect_s=%.3f", static_cast<double>(stall_closed_ns_ - t0) / 1e9);
      else
        std::printf(" stall_disconnect_s=none");
    }
    std::printf("\n");
    return 0;
  }

  void PrintLatency() {
    if (latencies_.empty()) {
      std::printf(" p50_ms=nan p99_ms=nan max_ms=nan");
      return;
    }
    auto pct = [&](double q) {
      size_t k = static_cast<size_t>(q * static_cast<double>(latencies_.size() - 1));
      std::nth_element(latencies_.begin(), latencies_.begin() + static_cast<ptrdiff_t>(k),
                       latencies_.end());
      return static_cast<double>(latencies_[k]) / 1e6;
    };
    double p50 = pct(0.50);
    double p99 = pct(0.99);
    double mx = static_cast<double>(*std::max_element(latencies_.begin(), latencies_.end())) / 1e6;
    std::printf(" p50_ms=%.3f p99_ms=%.3f max_ms=%.3f", p50, p99, mx);
  }

  int RunAdmit() {
    AddClients(opt_.clients, "u");
    int64_t t0 = NowNs();
    int64_t deadline = t0 + static_cast<int64_t>(opt_.admit_timeout_s * 1e9);
    // One at a time: the next client starts only once the previous one is admitted, so the
    // measurement is the server's per-admission cost including the roster and notifications.
    pending_.push_back(0);
    on_admitted_ = [&](Client& c) {
      last_admit_ns_ = NowNs();
      if (c.idx + 1 < static_cast<int>(clients_.size())) pending_.push_back(c.idx + 1);
    };
    bool ok = Loop([&] { return admitted_ == static_cast<int>(clients_.size()); }, deadline, {});
    on_admitted_ = nullptr;
    // A server that admits slowly is reported with the clients it managed in the time cap,
    // which keeps the whole run bounded.
    if (!ok && admitted_ == 0) {
      std::fprintf(stderr, "loadgen: no client was admitted\n");
      return 1;
    }
    int64_t t_done = ok ? NowNs() : last_admit_ns_;
    uint64_t bytes_at_done = total_bytes_in_;
    // The notifications about the last newcomer may still be on their way to the others.
    SettleQuiet(300'000'000, 5'000'000'000);
    std::printf(
        "RESULT_KV clients=%d admitted=%d complete=%d admit_s=%.3f admit_ms_per_client=%.3f"
        " bytes_at_last_admit=%" PRIu64 " bytes_total=%" PRIu64
        " connect_retries=%d lost_clients=%d\n",
        opt_.clients, admitted_, ok ? 1 : 0, static_cast<double>(t_done - t0) / 1e9,
        static_cast<double>(t_done - t0) / 1e6 / admitted_, bytes_at_done, total_bytes_in_,
        connect_retries_, lost_clients_);
    return 0;
  }

  int RunIdle() {
    ProcStatus before = ReadProcStatus(opt_.server_pid);
    if (!SetupClients(opt_.clients, false)) return 1;
    // Give the server a moment to release transient buffers from the login burst.
    SettleQuiet(1'000'000'000, 3'000'000'000);
    ProcStatus after = ReadProcStatus(opt_.server_pid);
    std::printf("RESULT_KV clients=%d setup_s=%.3f", opt_.clients, setup_s_);
    if (before.rss_kb >= 0 && after.rss_kb >= 0) {
      std::printf(" rss_before_kb=%ld rss_after_kb=%ld rss_per_client_kb=%.2f threads=%ld",
                  before.rss_kb, after.rss_kb,
                  static_cast<double>(after.rss_kb - before.rss_kb) / opt_.clients, after.threads);
    } else {
      std::printf(" rss_before_kb=nan rss_after_kb=nan rss_per_client_kb=nan threads=nan");
    }
    std::printf(" lost_clients=%d connect_retries=%d\n", lost_clients_, connect_retries_);
    return 0;
  }

  static constexpr size_t kMaxSamples = 64u << 20;

  Options opt_;
  UniqueFd epfd_;
  sockaddr_in addr_{};
  int64_t start_ns_ = 0;
  std::vector<Client> clients_;
  std::deque<int> pending_;
  int inflight_ = 0;
  int admitted_ = 0;
  int64_t next_connect_ns_ = 0;
  int connect_retries_ = 0;
  int lost_clients_ = 0;
  std::function<void(Client&)> on_admitted_;
  double setup_s_ = 0;
  int64_t last_admit_ns_ = 0;
  uint64_t total_bytes_in_ = 0;

  std::vector<Sender> senders_;
  bool measuring_ = false;
  int64_t measure_end_ns_ = 0;
  uint64_t msgs_sent_ = 0;
  uint64_t deliveries_ = 0;
  uint64_t echoes_ = 0;
  std::vector<int64_t> latencies_;
  int64_t stall_closed_ns_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options opt = ParseArgs(argc, argv);
  RaiseFdLimit();
  LoadGen gen(std::move(opt));
  int rc = gen.Run();
  std::fflush(stdout);
  return rc;
}
