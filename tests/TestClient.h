// A blocking protocol client for tests: real loopback sockets, every wait bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qs::test {

inline constexpr int kWaitMs = 10000;  // the longest any test waits for an expected event

class TTestClient {
 public:
  explicit TTestClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("connect failed");
    }
  }
  ~TTestClient() { Close(); }
  TTestClient(const TTestClient&) = delete;
  TTestClient& operator=(const TTestClient&) = delete;

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int Fd() const { return fd_; }

  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void SendLine(std::string_view line) { Send(std::string(line) + "\r\n"); }
  void SendMessage(std::string_view text) { SendMessage(static_cast<int32_t>(text.size()), text); }
  void SendMessage(int32_t length, std::string_view text) {
    std::string unit = "MSG\r\n";
    const auto bits = static_cast<uint32_t>(length);
    unit += static_cast<char>(bits >> 24);
    unit += static_cast<char>(bits >> 16);
    unit += static_cast<char>(bits >> 8);
    unit += static_cast<char>(bits);
    unit += text;
    Send(unit);
  }

  // Exactly count bytes; fewer when the connection ends or the wait runs out.
  std::string Read(std::size_t count, int waitMs = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (buffer_.size() < count && Fill(deadline)) {
    }
    std::string out = buffer_.substr(0, std::min(count, buffer_.size()));
    buffer_.erase(0, out.size());
    return out;
  }
  // The next count bytes without consuming them.
  std::string Peek(std::size_t count, int waitMs = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (buffer_.size() < count && Fill(deadline)) {
    }
    return buffer_.substr(0, std::min(count, buffer_.size()));
  }
  // One line including its CR LF, or what came before the connection ended.
  std::string ReadLine(int waitMs = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::size_t at;
    while ((at = buffer_.find('\n')) == std::string::npos && Fill(deadline)) {
    }
    const std::size_t take = at == std::string::npos ? buffer_.size() : at + 1;
    std::string out = buffer_.substr(0, take);
    buffer_.erase(0, take);
    return out;
  }
  // A whole list unit: keyword, subject and names up to "@", without the line ends.
  std::vector<std::string> ReadListUnit() {
    std::vector<std::string> lines;
    for (;;) {
      std::string line = ReadLine();
      if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) return lines;
      line.resize(line.size() - 2);
      lines.push_back(line);
      if (lines.size() > 2 && line == "@") return lines;
    }
  }
  // A delivery: sender and text; empty sender when none came.
  std::pair<std::string, std::string> ReadDelivery() {
    if (ReadLine() != "M\r\n") return {};
    std::string sender = ReadLine();
    if (sender.size() >= 2) sender.resize(sender.size() - 2);
    const std::string length = Read(4);
    if (length.size() != 4) return {};
    const auto* b = reinterpret_cast<const unsigned char*>(length.data());
    const auto n = static_cast<int32_t>((uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) |
                                        (uint32_t{b[2]} << 8) | b[3]);
    return {sender, n > 0 ? Read(static_cast<std::size_t>(n)) : std::string()};
  }
  // True when the server closed the connection (end of stream or reset) within the wait;
  // bytes that arrive first are collected in Pending().
  bool WaitClosed(int waitMs = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (Fill(deadline)) {
    }
    return closed_;
  }
  // Nothing arrives within waitMs (and the connection stays open).
  bool Silent(int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    const std::size_t before = buffer_.size();
    Fill(deadline);
    return buffer_.size() == before && !closed_;
  }
  const std::string& Pending() const { return buffer_; }

  // Greeting, name, password, confirmation; then the roster unit is waiting.
  bool Login(std::string_view name, std::string_view password = "secret") {
    if (ReadLine() != "OK!\r\n") return false;
    SendLine(name);
    if (ReadLine() != "OK!\r\n") return false;
    SendLine(password);
    if (ReadLine() != "OK!\r\n") return false;
    SendLine("OK!");
    return true;
  }

 private:
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    if (closed_) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string buffer_;
  bool closed_ = false;
};

}  // namespace qs::test
