// Feeds the protocol reader arbitrary bytes in arbitrary pieces, with time-outs in between,
// and holds every result against a plain model of the byte stream: which bytes the reader
// has consumed, and what each call must therefore return.
//
// Input: five header bytes, then the stream, then the operations.
//   [0] [1]  piece sizes, used alternately
//   [2]      every n-th receive (n = [2] % 8, 0: never) reports a time-out
//   [3]      line limit (bits 0-1) and receive size (bits 2-3) from small tables
//   [4]      how many bytes at the end of the input are operations
// When the operations run out the reader is drained line by line, so every byte is seen.
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/Protocol.h"

namespace {

using qs::TByteSource;
using qs::TConnectionError;
using TKind = qs::TConnectionError::TKind;

[[noreturn]] void Fail(const char* condition, int line) {
  std::fprintf(stderr, "fuzz_reader: broken at line %d: %s\n", line, condition);
  std::abort();
}
#define QS_CHECK(condition) ((condition) ? void(0) : Fail(#condition, __LINE__))

// The largest single allocation while watching: an announced length must not turn into an
// allocation of that size before the bytes are there.
std::atomic<bool> gWatching{false};
std::atomic<std::size_t> gLargest{0};

void OnMalloc(const volatile void*, std::size_t size) {
  if (!gWatching.load(std::memory_order_relaxed)) return;
  std::size_t seen = gLargest.load(std::memory_order_relaxed);
  while (size > seen && !gLargest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
  }
}
void OnFree(const volatile void*) {}

class TMemorySource final : public TByteSource {
 public:
  TMemorySource(std::string_view data, std::size_t pieceA, std::size_t pieceB, unsigned period)
      : data_(data), pieceA_(pieceA), pieceB_(pieceB), period_(period) {}

  TResult Receive(std::string& buffer, std::size_t maxBytes, int) override {
    QS_CHECK(maxBytes >= 1);
    ++calls_;
    if (period_ != 0 && calls_ % period_ == 0) {
      ++timeouts_;
      return TResult::kTimeout;
    }
    if (delivered_ == data_.size()) return TResult::kClosed;
    const std::size_t piece = calls_ % 2 == 0 ? pieceA_ : pieceB_;
    const std::size_t n = std::min({piece, maxBytes, data_.size() - delivered_});
    buffer.append(data_.substr(delivered_, n));
    delivered_ += n;
    return TResult::kData;
  }

  std::size_t Delivered() const { return delivered_; }
  std::size_t Timeouts() const { return timeouts_; }
  std::size_t Calls() const { return calls_; }
  bool Exhausted() const { return delivered_ == data_.size(); }

 private:
  std::string_view data_;
  std::size_t pieceA_;
  std::size_t pieceB_;
  unsigned period_;
  std::size_t calls_ = 0;
  std::size_t timeouts_ = 0;
  std::size_t delivered_ = 0;
};

std::size_t PieceSize(uint8_t b) {
  return b < 240 ? std::size_t{b} + 1 : std::size_t{b - 239u} * 4096;
}

constexpr std::size_t kLineLimits[] = {16384, 0, 1, 5};
constexpr std::size_t kReceiveSizes[] = {4096, 1, 3, 65536};
constexpr int32_t kCounts[] = {
    0, -1, 1, 2, 3, 4, 7, 100, 16384, 16385, 65536, INT32_MAX, INT32_MIN, 1 << 20, INT32_MAX - 1,
    5};

class TDriver {
 public:
  TDriver(std::string_view data, qs::TReaderLimits limits, TMemorySource& source)
      : data_(data), limit_(limits.maxLineLength), source_(source), reader_(source, limits) {}

  // False once the line can never come: it is too long or the stream ended before it.
  bool Line() {
    const std::size_t timeoutsBefore = source_.Timeouts();
    std::string line;
    try {
      line = reader_.ReadLine();
    } catch (const TConnectionError& e) {
      const std::size_t lf = NextLineFeed();
      if (e.Kind() == TKind::kLineTooLong) {
        // Only a line that really is longer than the limit may be refused.
        if (synced_) QS_CHECK(lf == std::string_view::npos || lf - pos_ > limit_);
        return false;
      }
      QS_CHECK(e.Kind() == TKind::kClosed);
      QS_CHECK(source_.Exhausted());
      if (synced_) QS_CHECK(lf == std::string_view::npos);
      return false;
    }
    QS_CHECK(line.find('\n') == std::string::npos);
    QS_CHECK(line.size() <= limit_);
    if (source_.Timeouts() > timeoutsBefore) {
      // A time-out: nothing consumed, and no whole line was waiting.
      QS_CHECK(line.empty());
      if (synced_) {
        const std::size_t lf = NextLineFeed();
        QS_CHECK(lf == std::string_view::npos || lf >= source_.Delivered());
      }
      return true;
    }
    if (!synced_) return true;
    const std::size_t lf = NextLineFeed();
    QS_CHECK(lf != std::string_view::npos && lf < source_.Delivered());
    std::string_view raw = data_.substr(pos_, lf - pos_);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    QS_CHECK(line == raw);
    pos_ = lf + 1;
    return true;
  }

  void Int32() {
    const std::size_t timeoutsBefore = source_.Timeouts();
    int32_t value = 0;
    try {
      value = reader_.ReadInt32();
    } catch (const TConnectionError& e) {
      if (e.Kind() == TKind::kTimeout) {
        QS_CHECK(source_.Timeouts() > timeoutsBefore);
      } else {
        QS_CHECK(e.Kind() == TKind::kClosed);
        QS_CHECK(source_.Exhausted());
      }
      if (synced_) QS_CHECK(source_.Delivered() - pos_ < 4);
      return;
    }
    last_ = value;
    if (!synced_) return;
    QS_CHECK(pos_ + 4 <= source_.Delivered());
    const auto* b = reinterpret_cast<const unsigned char*>(data_.data() + pos_);
    const uint32_t bits =
        (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
    QS_CHECK(static_cast<uint32_t>(value) == bits);
    pos_ += 4;
  }

  void Text(int32_t count) {
    const std::size_t callsBefore = source_.Calls();
    const std::size_t timeoutsBefore = source_.Timeouts();
    std::string text;
    try {
      text = reader_.ReadText(count);
    } catch (const TConnectionError& e) {
      QS_CHECK(count > 0);
      if (e.Kind() == TKind::kTimeout) {
        QS_CHECK(source_.Timeouts() > timeoutsBefore);
      } else {
        QS_CHECK(e.Kind() == TKind::kClosed);
        QS_CHECK(source_.Exhausted());
      }
      if (synced_) QS_CHECK(source_.Delivered() - pos_ < static_cast<std::size_t>(count));
      // Where a failed text leaves the stream is not promised; the server drops the
      // connection then.
      synced_ = false;
      return;
    }
    if (count <= 0) {
      QS_CHECK(text.empty());
      QS_CHECK(source_.Calls() == callsBefore);
      return;
    }
    QS_CHECK(text.size() == static_cast<std::size_t>(count));
    if (!synced_) return;
    QS_CHECK(text == data_.substr(pos_, text.size()));
    pos_ += text.size();
  }

  void CheckBuffered() const {
    QS_CHECK(reader_.BufferedBytes() <= source_.Delivered());
    QS_CHECK(reader_.HasBufferedBytes() == (reader_.BufferedBytes() > 0));
    if (synced_) QS_CHECK(reader_.BufferedBytes() == source_.Delivered() - pos_);
  }

  int32_t LastInt() const { return last_; }

 private:
  // Remembered per position: searching afresh on every call made long inputs quadratic.
  std::size_t NextLineFeed() {
    if (lfFrom_ != pos_) {
      lfFrom_ = pos_;
      lf_ = data_.find('\n', pos_);
    }
    return lf_;
  }

  std::string_view data_;
  std::size_t limit_;
  TMemorySource& source_;
  qs::TReader reader_;
  std::size_t pos_ = 0;  // bytes of data_ the reader has consumed, while synced_
  bool synced_ = true;
  int32_t last_ = 0;
  std::size_t lfFrom_ = std::string_view::npos;
  std::size_t lf_ = std::string_view::npos;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, std::size_t size) {
  constexpr std::size_t kHeader = 5;
  if (size < kHeader) return 0;
  const std::string_view all(reinterpret_cast<const char*>(input), size);
  const std::size_t opCount = std::min<std::size_t>(input[4], size - kHeader);
  const std::string_view data = all.substr(kHeader, size - kHeader - opCount);
  const std::string_view ops = all.substr(size - opCount);

  qs::TReaderLimits limits;
  limits.maxLineLength = kLineLimits[input[3] & 3];
  limits.recvChunk = kReceiveSizes[(input[3] >> 2) & 3];
  limits.readTimeoutMs = 0;
  TMemorySource source(data, PieceSize(input[0]), PieceSize(input[1]), input[2] % 8);
  TDriver driver(data, limits, source);

  // Growth of a std::string doubles at most, and the reader may hold the stream, a line
  // and a text at once; anything beyond that came from somewhere other than the input.
  const std::size_t allowed = 4 * data.size() + 4096;
  const auto step = [&](auto&& operation) {
    gLargest.store(0, std::memory_order_relaxed);
    gWatching.store(true, std::memory_order_relaxed);
    operation();
    gWatching.store(false, std::memory_order_relaxed);
    QS_CHECK(gLargest.load(std::memory_order_relaxed) <= allowed);
    driver.CheckBuffered();
  };

  for (const char c : ops) {
    const auto op = static_cast<uint8_t>(c);
    switch (op % 4) {
      case 0:
        step([&] { driver.Line(); });
        break;
      case 1:
        step([&] { driver.Int32(); });
        break;
      case 2:  // the protocol's order: a length, then that many bytes
        step([&] { driver.Text(driver.LastInt()); });
        break;
      default:
        step([&] { driver.Text(kCounts[(op >> 2) % std::size(kCounts)]); });
        break;
    }
  }
  // Each round consumes a line, reports a time-out or ends the run.
  bool more = true;
  for (std::size_t rounds = 0; more && rounds < 2 * data.size() + 16; ++rounds) {
    step([&] { more = driver.Line(); });
  }
  return 0;
}
