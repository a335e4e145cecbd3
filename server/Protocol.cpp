#include "server/Protocol.h"

#include <cstring>

namespace qs {

void ThrowErrno(const char* operation, int errnoValue) {
  throw TConnectionError(TConnectionError::TKind::kBroken,
                         std::string(operation) + ": " + std::strerror(errnoValue));
}

std::string EncodeInt32(int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  return {static_cast<char>(bits >> 24), static_cast<char>(bits >> 16),
          static_cast<char>(bits >> 8), static_cast<char>(bits)};
}

TUnitBuilder& TUnitBuilder::WriteInt32(int32_t value) {
  bytes_.append(EncodeInt32(value));
  return *this;
}

bool TReader::Fill() {
  if (peerClosed_) {
    throw TConnectionError(TConnectionError::TKind::kClosed, "connection closed by peer");
  }
  // Drop consumed bytes before growing, so a long-lived connection's buffer stays small.
  if (start_ > 0 && (start_ >= buffer_.size() || start_ >= 65536)) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  switch (source_.Receive(buffer_, limits_.recvChunk, limits_.readTimeoutMs)) {
    case TByteSource::TResult::kData:
      return true;
    case TByteSource::TResult::kTimeout:
      return false;
    case TByteSource::TResult::kClosed:
      peerClosed_ = true;
      throw TConnectionError(TConnectionError::TKind::kClosed, "connection closed by peer");
  }
  return false;
}

TByteSource::TResult TReader::TryFill() {
  if (peerClosed_) return TByteSource::TResult::kClosed;
  const auto result = source_.Receive(buffer_, limits_.recvChunk, 0);
  if (result == TByteSource::TResult::kClosed) peerClosed_ = true;
  return result;
}

void TReader::Consume(std::size_t count) {
  start_ += count;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
}

std::string TReader::ReadLine() {
  std::size_t searched = 0;  // bytes after start_ already known to hold no line feed
  for (;;) {
    const std::size_t waiting = buffer_.size() - start_;
    const void* found = waiting > searched ? std::memchr(buffer_.data() + start_ + searched, '\n',
                                                         waiting - searched)
                                           : nullptr;
    if (found != nullptr) {
      const auto p =
          static_cast<std::size_t>(static_cast<const char*>(found) - (buffer_.data() + start_));
      if (p > limits_.maxLineLength) {
        throw TConnectionError(TConnectionError::TKind::kLineTooLong, "line too long");
      }
      std::size_t length = p;
      if (length > 0 && buffer_[start_ + length - 1] == '\r') --length;
      std::string line = buffer_.substr(start_, length);
      Consume(p + 1);
      return line;
    }
    searched = waiting;
    if (waiting > limits_.maxLineLength) {
      throw TConnectionError(TConnectionError::TKind::kLineTooLong, "line too long");
    }
    // Fill may compact the buffer; searched counts from start_, so it stays valid.
    if (!Fill()) return {};
  }
}

int32_t TReader::ReadInt32() {
  while (buffer_.size() - start_ < 4) {
    if (!Fill()) {
      throw TConnectionError(TConnectionError::TKind::kTimeout, "read timed out");
    }
  }
  const auto* b = reinterpret_cast<const unsigned char*>(buffer_.data() + start_);
  const uint32_t bits =
      (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
  Consume(4);
  return static_cast<int32_t>(bits);
}

std::string TReader::ReadText(int32_t count) {
  if (count <= 0) return {};
  const auto wanted = static_cast<std::size_t>(count);
  std::string text;
  for (;;) {
    const std::size_t take = std::min(wanted - text.size(), buffer_.size() - start_);
    text.append(buffer_, start_, take);
    Consume(take);
    if (text.size() == wanted) return text;
    if (!Fill()) {
      throw TConnectionError(TConnectionError::TKind::kTimeout, "read timed out");
    }
  }
}

}  // namespace qs
