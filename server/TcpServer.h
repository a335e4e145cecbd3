// The TCP server layer: one IPv4 listening socket, a listener thread, a thread per accepted
// connection that runs the handler once, and one writer thread that drains the connections'
// outbound queues.
//
// Threading contract:
//  - Activate and Deactivate are called by the owner (the UI thread in the program).
//  - A connection's reads, its direct writes and its open test belong to its handler thread.
//  - QueueUnit may be called from any thread that holds the server lock given at
//    construction (the roster lock): that lock orders every unit queued to any connection,
//    so units to one client never interleave and all clients see events in one order.
//  - The server lock also guards the layer's own bookkeeping; it is never held across a
//    system call that can block.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "server/Mutex.h"
#include "server/Protocol.h"

namespace qs {

struct TServerOptions {
  uint16_t port = 4080;  // 0: an ephemeral port, readable through BoundPort()
  int backlog = 15;
  TReaderLimits reader;
  int writeTimeoutMs = 5000;  // direct writes before a connection is shared
  // A recipient whose unsent bytes exceed hardBacklog, or stay above softBacklog for
  // softBacklogTime, is disconnected: a client that stops reading must not hold up others.
  std::size_t hardBacklog = 32u << 20;
  std::size_t softBacklog = 8u << 20;
  std::chrono::milliseconds softBacklogTime{std::chrono::seconds(60)};
  std::size_t threadStackBytes = 256u << 10;
  // Threads that write the outbound queues to the sockets; each connection has one.
  int writerThreads = 2;
  // Longest chat text relayed; a longer announcement closes the sender's connection
  // without reading the text.
  int32_t maxTextLength = 16 << 20;
};

class TBindError : public std::runtime_error {
 public:
  TBindError()
      : std::runtime_error("Could not bind socket. Address and port are already in use.") {}
};

// Owns one file descriptor.
class TSocket final {
 public:
  TSocket() = default;
  explicit TSocket(int fd) : fd_(fd) {}
  ~TSocket() { Reset(); }
  TSocket(TSocket&& other) noexcept : fd_(other.Release()) {}
  TSocket& operator=(TSocket&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;

  int Fd() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset();

 private:
  int fd_ = -1;
};

class TTcpServer;

// One accepted connection: what the handler gets as its context.
class TContext final : public TByteSource, public std::enable_shared_from_this<TContext> {
 public:
  TContext(TTcpServer& server, TSocket socket, std::string peerAddress);
  ~TContext() override;
  TContext(const TContext&) = delete;
  TContext& operator=(const TContext&) = delete;

  // The peer's IPv4 address as dotted decimal.
  const std::string& PeerAddress() const { return peerAddress_; }

  // Reads: handler thread only.
  std::string ReadLine() { return reader_.ReadLine(); }
  int32_t ReadInt32() { return reader_.ReadInt32(); }
  std::string ReadText(int32_t count) { return reader_.ReadText(count); }

  // Direct writes, each handed to the socket as one write: handler thread only, and only
  // while no other thread can queue to this connection (before it joins the roster).
  void WriteLine(std::string_view text);
  void WriteText(std::string_view text);
  void WriteInt32(int32_t value);

  // Appends a whole unit to the outbound queue; the writer thread sends it. The caller
  // holds the server lock. Returns false (and drops the unit) when the connection is closed,
  // or when this unit takes it past its backlog limit, which disconnects it.
  bool QueueUnit(const TSharedBytes& unit);

  // Open while the peer has not closed it or received bytes are still unread. Handler only.
  bool Connected();
  // Shuts the connection down both ways; its handler's next read fails. Any thread.
  void Disconnect();
  // The end of a connection: drop the input already received (so the close is not a reset
  // when nothing more comes), then disconnect. Handler thread.
  void DiscardInputAndDisconnect();
  bool Closed() const { return closed_.load(std::memory_order_acquire); }

  // TByteSource
  TResult Receive(std::string& buffer, std::size_t maxBytes, int timeoutMs) override;

 private:
  friend class TTcpServer;
  void SendDirect(std::string_view bytes);
  std::size_t Backlog() const;
  // Whether a backlog of this many unsent bytes may stand: not past the hard limit, and
  // not above the soft limit for too long (the time above it starts with the first call
  // that sees it). Server lock held.
  bool BacklogWithinLimits(std::size_t backlog);

  TTcpServer& server_;
  TSocket socket_;
  const std::string peerAddress_;
  TReader reader_;
  std::atomic<bool> closed_{false};
  bool drained_ = false;  // the last read found nothing waiting; handler thread only

  // Outbound state under the server lock.
  std::deque<TSharedBytes> queue_;
  uint64_t queuedTotal_ = 0;  // bytes ever queued
  bool scheduled_ = false;    // on the writer's ready list
  bool overSoft_ = false;
  std::chrono::steady_clock::time_point overSoftSince_;
  // Bytes ever sent; written by the writer thread only, read with the lock for Backlog().
  std::atomic<uint64_t> sentTotal_{0};

  // Writer thread only.
  std::deque<TSharedBytes> sending_;
  std::size_t sendOffset_ = 0;  // bytes of sending_.front() already sent
  bool watched_ = false;        // registered with the writer's epoll for writability
  std::size_t writer_ = 0;      // which writer thread serves this connection; fixed
};

class TTcpServer {
 public:
  using THandler = std::function<void(TContext&)>;

  // lock: the server lock (see the file comment); it must outlive the server.
  TTcpServer(TServerOptions options, THandler handler, TMutex& lock);
  ~TTcpServer();
  TTcpServer(const TTcpServer&) = delete;
  TTcpServer& operator=(const TTcpServer&) = delete;

  // Binds, listens and starts the listener and writer threads. Throws TBindError.
  void Activate();
  // Stops listening, shuts down every live connection and joins every thread, however long
  // the handlers take to notice. Idempotent.
  void Deactivate();
  bool Active() const { return active_; }
  uint16_t BoundPort() const { return boundPort_; }
  const TServerOptions& Options() const { return options_; }

  // Live connections and handler threads, for tests and the benchmark.
  std::size_t LiveConnections();

 private:
  friend class TContext;
  class TWorker;
  void ListenerLoop();
  struct TWriter;
  void WriterLoop(TWriter& writer);
  void Accept(TSocket socket, const sockaddr_in& peer);
  void ReapFinished() QS_EXCLUDES(lock_);
  void StopWriters() QS_EXCLUDES(lock_);
  void Schedule(TContext& context) QS_REQUIRES(lock_);
  void HandlerDone(TWorker* worker) QS_EXCLUDES(lock_);
  void FlushContext(const std::shared_ptr<TContext>& context, int epollFd);
  void CheckSoftBacklogs(std::vector<std::shared_ptr<TContext>>& watched) QS_EXCLUDES(lock_);

  const TServerOptions options_;
  const THandler handler_;
  TMutex& lock_;

  bool active_ = false;  // owner thread only
  uint16_t boundPort_ = 0;
  TSocket listener_;
  TSocket listenerWake_;  // eventfd: stop request or a finished handler
  std::atomic<bool> stopping_{false};
  std::unique_ptr<class TThread> listenerThread_;
  std::vector<std::unique_ptr<TWriter>> writers_;  // fixed while active
  std::size_t nextWriter_ = 0;                     // listener thread only

  std::vector<std::unique_ptr<TWorker>> workers_ QS_GUARDED_BY(lock_);
  std::vector<TWorker*> finished_ QS_GUARDED_BY(lock_);
};

// A joinable thread with a chosen stack size; joined by its destructor, never detached.
class TThread {
 public:
  TThread(std::function<void()> body, std::size_t stackBytes);
  ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  void Join();

 private:
  static void* Run(void* self);
  std::function<void()> body_;
  pthread_t handle_{};
  bool joinable_ = false;
};

}  // namespace qs
