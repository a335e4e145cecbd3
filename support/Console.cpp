#include "support/Console.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "server/Handler.h"
#include "support/INIToolz.h"
#include "support/Toolz.h"

namespace qs {

namespace {

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed stdout loses the log, nothing else
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The hand-off from the handlers to the main thread. Handlers append under the roster lock
// they already hold and never wait; the main thread prints.
class TConsoleLog final : public IServerNotify {
 public:
  explicit TConsoleLog(TServerState& state)
      : state_(state), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~TConsoleLog() override {
    if (wake_ >= 0) ::close(wake_);
  }
  TConsoleLog(const TConsoleLog&) = delete;
  TConsoleLog& operator=(const TConsoleLog&) = delete;

  int WakeFd() const { return wake_; }

  // No user list to show here.
  void RefreshUserList() override {}

  void FlushPendingLogLine() override {
    state_.RosterLock.AssertHeld();  // called by a handler holding the roster lock
    TServerState::TLogLine line = state_.TakePendingLogLine();
    if (line.text.empty()) return;
    pending_.push_back(std::move(line));
    if (pending_.size() == 1) {
      const uint64_t one = 1;
      while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
      }
    }
  }

  // Main thread: prints everything handed over so far; false when there was nothing.
  bool Print(bool colour) {
    uint64_t count = 0;
    while (::read(wake_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::vector<TServerState::TLogLine> lines;
    {
      TMutexLock lock(state_.RosterLock);  // take the handed-over lines; printing is outside
      lines.swap(pending_);
    }
    std::string out;
    for (const auto& line : lines) {
      if (colour) out += line.colour == kColourNavy ? "\033[34m" : "\033[32m";
      out += EscapeForTerminal(line.text);
      if (colour) out += "\033[0m";
      out += '\n';
    }
    WriteAll(STDOUT_FILENO, out);
    return !lines.empty();
  }

 private:
  TServerState& state_;
  std::vector<TServerState::TLogLine> pending_;  // under state_.RosterLock
  int wake_;
};

}  // namespace

std::string EscapeForTerminal(std::string_view utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    unsigned code = 0x100;  // not a control character
    if (c < 0x20 && c != '\n' && c != '\t') {
      code = c;
    } else if (c == 0x7F) {
      code = c;
    } else if (c == 0xC2 && i + 1 < utf8.size()) {
      const auto next = static_cast<unsigned char>(utf8[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F, the C1 controls
        code = next;
        ++i;
      }
    }
    if (code < 0x100) {
      out += "\\x";
      out += kHex[code >> 4];
      out += kHex[code & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string UsageText(std::string_view program) {
  std::string p(program);
  return "Usage: " + p + " [--headless] [/SWEDISH | /ENGLISH]\n" +
         "\n"
         "Runs the Quillsend chat server on TCP port 4080.\n"
         "\n"
         "  --headless  run without a window; the event log goes to standard output\n"
         "  --help      show this text\n"
         "  /SWEDISH    Swedish texts, whatever the locale\n"
         "  /ENGLISH    English texts, whatever the locale\n"
         "\n"
         "The server password is read from the settings file " +
         SettingsFilePath() +
         " (section [Main], key Password). While it is empty, every client is turned away.\n";
}

int RunHeadless() {
  // Signals are taken by the main thread through a signalfd; blocking them before any
  // thread starts keeps every other thread from receiving them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

  TServerState state;
  TConsoleLog log(state);
  state.SetNotify(&log);
  TChatServer server(state);
  try {
    server.Activate();
  } catch (const TBindError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  // Clients that come before the password is loaded are turned away.
  state.SetServerPassword(IniReadString("Main", "Password", state.ServerPassword()));
  if (state.ServerPassword().empty()) {
    std::fprintf(stderr, "%s\n",
                 ChooseText(IsSwedish(),
                            "Ange lösenord i \"Arkiv => Ange lösenord...\" för att aktivera "
                            "servern.",
                            "Set password in \"File => Set password...\" to activate the server."));
  }
  const bool colour = ::isatty(STDOUT_FILENO) == 1;
  // Under a chat flood, printing every line as it comes would wake this thread once per
  // line and contend for the roster lock; after a print, the next one waits a moment so
  // that lines are taken in batches.
  constexpr int kBatchMs = 20;
  bool rested = true;
  for (;;) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {log.WakeFd(), POLLIN, 0}};
    const int n = ::poll(fds, rested ? 2 : 1, rested ? -1 : kBatchMs);
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) break;
    if (!rested || fds[1].revents != 0) {
      rested = !log.Print(colour);
    }
  }
  server.Deactivate();  // every handler departs (and logs) before this returns
  log.Print(colour);
  if (signals >= 0) ::close(signals);
  return 0;
}

}  // namespace qs
