// The chat protocol's byte level: the errors a connection raises, the reader that turns a
// byte stream into lines, lengths and counted texts, and the builder that assembles one
// outbound unit so that it can be handed to a socket whole.
//
// Wire texts are std::string with one byte per character. A TReader belongs to one
// connection and is used only by that connection's handler thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qs {

// One outbound unit, immutable once built; shared by every recipient of a broadcast so
// that its bytes exist once however many clients it goes to.
using TSharedBytes = std::shared_ptr<const std::string>;

class TConnectionError : public std::runtime_error {
 public:
  enum class TKind { kClosed, kBroken, kLineTooLong, kTimeout, kTextTooLong };
  TConnectionError(TKind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  TKind Kind() const { return kind_; }

 private:
  TKind kind_;
};

// Throws a TConnectionError of kind kBroken carrying strerror(errnoValue).
[[noreturn]] void ThrowErrno(const char* operation, int errnoValue);

struct TReaderLimits {
  std::size_t maxLineLength = 16384;  // bytes before the line feed, a final CR included
  int readTimeoutMs = 5000;           // silence, not total time
  std::size_t recvChunk = 4096;       // bytes taken from the network per step
};

// Where a TReader gets its bytes from: a socket in the server, memory in tests and fuzzing.
class TByteSource {
 public:
  enum class TResult { kData, kTimeout, kClosed };
  virtual ~TByteSource() = default;
  // Appends between 1 and maxBytes bytes to buffer (kData), or reports that timeoutMs passed
  // without a byte (kTimeout) or that the peer closed (kClosed). Throws TConnectionError
  // when the connection broke.
  virtual TResult Receive(std::string& buffer, std::size_t maxBytes, int timeoutMs) = 0;
};

class TReader {
 public:
  TReader(TByteSource& source, TReaderLimits limits) : source_(source), limits_(limits) {}
  TReader(const TReader&) = delete;
  TReader& operator=(const TReader&) = delete;

  // The next line's content (one final CR dropped). An empty text when the time-out strikes;
  // a partial line then stays for the next call.
  std::string ReadLine();
  int32_t ReadInt32();
  // count <= 0: an empty text at once. Otherwise exactly count bytes; memory grows with the
  // bytes that arrive, not with the announced count.
  std::string ReadText(int32_t count);

  bool HasBufferedBytes() const { return buffer_.size() > start_; }
  // Takes what has already arrived without waiting: kData, kTimeout (nothing there) or
  // kClosed. Throws when the connection broke.
  TByteSource::TResult TryFill();
  std::size_t BufferedBytes() const { return buffer_.size() - start_; }

 private:
  // Waits for more bytes; returns false on time-out. Throws on close or breakage.
  bool Fill();
  void Consume(std::size_t count);

  TByteSource& source_;
  const TReaderLimits limits_;
  std::string buffer_;
  std::size_t start_ = 0;  // bytes before start_ are consumed
  bool peerClosed_ = false;
};

// Assembles one unit with the connection operations' encodings.
class TUnitBuilder {
 public:
  TUnitBuilder& WriteLine(std::string_view text) {
    bytes_.append(text);
    bytes_.append("\r\n", 2);
    return *this;
  }
  TUnitBuilder& WriteText(std::string_view text) {
    bytes_.append(text);
    return *this;
  }
  TUnitBuilder& WriteInt32(int32_t value);
  std::string& Bytes() { return bytes_; }
  TSharedBytes Finish() { return std::make_shared<const std::string>(std::move(bytes_)); }

 private:
  std::string bytes_;
};

std::string EncodeInt32(int32_t value);

}  // namespace qs
