// SPDX-License-Identifier: MIT
// Numbered blocks for checking byte streams end to end.
//
// A stream is an endless run of 32-byte blocks: the stream's tag, the
// block's number, 16 bytes drawn from both, and a checksum of the 28 bytes
// before it. Every byte is therefore a function of the stream and its
// offset, and a reader that has found one whole block in what arrived knows
// which offset every later byte must come from.
//
// The checker follows one receiving port. The library never reorders,
// repeats or changes a byte within a connection, but a connection can be
// lost and made again, and a chunk that the transmit monitor cannot send is
// dropped whole (events 5/3, 5/4). So the checker finds its place afresh at
// the start of each connection (event kind 1) and then demands that every
// byte is the next one of the stream. Across connections the stream may
// only move forward. A jump within one connection is accepted only as a
// dropped chunk: at least one drop must have been reported by then, and at
// the end there may be no more jumps than drops, nor more skipped bytes than
// the drops can have held.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zortcp::testing {

inline constexpr size_t kBlockSize = 32;
inline constexpr size_t kLargestChunk = 4096;  // what one dropped chunk can hold

namespace block_detail {

inline constexpr size_t kTagAt = 0;
inline constexpr size_t kNumberAt = 4;
inline constexpr size_t kPayloadAt = 12;
inline constexpr size_t kChecksumAt = 28;

inline uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

inline uint32_t Checksum(const uint8_t* bytes, size_t size) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

inline void Put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint32_t Get32(const uint8_t* at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

inline void Put64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint64_t Get64(const uint8_t* at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

}  // namespace block_detail

inline void MakeBlock(uint32_t tag, uint64_t number, uint8_t* out) {
  using namespace block_detail;
  Put32(out + kTagAt, tag);
  Put64(out + kNumberAt, number);
  const uint64_t first = Mix((uint64_t{tag} << 40) ^ number);
  Put64(out + kPayloadAt, first);
  Put64(out + kPayloadAt + 8, Mix(first));
  Put32(out + kChecksumAt, Checksum(out, kChecksumAt));
}

struct BlockId {
  uint32_t tag;
  uint64_t number;
};

// The tag and number of the block at bytes, when the 32 bytes are a whole,
// valid block of some stream.
inline std::optional<BlockId> ParseBlock(const uint8_t* bytes) {
  using namespace block_detail;
  const BlockId id{Get32(bytes + kTagAt), Get64(bytes + kNumberAt)};
  uint8_t expected[kBlockSize];
  MakeBlock(id.tag, id.number, expected);
  if (std::memcmp(expected, bytes, kBlockSize) != 0) return std::nullopt;
  return id;
}

// The bytes of a stream from any offset on, one block made at a time.
class StreamBytes {
 public:
  explicit StreamBytes(uint32_t tag) : tag_(tag) {}

  uint8_t At(uint64_t offset) {
    const uint64_t number = offset / kBlockSize;
    if (number != cached_) {
      MakeBlock(tag_, number, block_);
      cached_ = number;
    }
    return block_[offset % kBlockSize];
  }

  // Copies size bytes of the stream from offset into out.
  void Copy(uint64_t offset, uint8_t* out, size_t size) {
    for (size_t i = 0; i < size; ++i) out[i] = At(offset + i);
  }

  // How many of the size bytes match the stream from offset on.
  size_t MatchingPrefix(uint64_t offset, const uint8_t* bytes, size_t size) {
    size_t i = 0;
    while (i < size && bytes[i] == At(offset + i)) ++i;
    return i;
  }

  uint32_t tag() const { return tag_; }

 private:
  uint32_t tag_;
  uint64_t cached_ = UINT64_MAX;
  uint8_t block_[kBlockSize] = {};
};

struct CheckFigures {
  uint64_t verified = 0;     // bytes found to be the next of their stream
  uint64_t unverified = 0;   // bytes of a connection that ended before a whole block came
  uint64_t connections = 0;  // connections that carried at least one byte
  uint64_t jumps = 0;        // places within one connection where dropped chunks were skipped
  uint64_t skipped = 0;      // the bytes those jumps skipped
};

class StreamChecker {
 public:
  // drops: the number of chunks that the stream's sending port has dropped
  // so far (its 5/3 events).
  StreamChecker(uint32_t tag, std::function<uint64_t()> drops)
      : stream_(tag), drops_(std::move(drops)) {}

  // A connection begins (event kind 1 of the receiving port): its first
  // byte may come from anywhere later in the stream.
  void BeginConnection() {
    EndConnection();
    inConnection_ = true;
    counted_ = false;
  }

  // The connection (or the port) ended; bytes not yet placed stay unchecked.
  void EndConnection() {
    figures_.unverified += pending_.size();
    pending_.clear();
    synced_ = false;
    jumpFrom_.reset();
    inConnection_ = false;
  }

  void Feed(const uint8_t* bytes, size_t size) {
    if (!inConnection_ && size > 0) return Fail("bytes arrived outside any connection");
    while (size > 0 && failure_.empty()) {
      if (!synced_) {
        const size_t take = std::min(size, kSyncWindow - pending_.size());
        pending_.insert(pending_.end(), bytes, bytes + take);
        bytes += take;
        size -= take;
        if (pending_.size() == kSyncWindow) Sync();
        continue;
      }
      const size_t good = stream_.MatchingPrefix(position_, bytes, size);
      Verified(good);
      bytes += good;
      size -= good;
      if (size > 0) {
        // Not the next byte: only a dropped chunk may explain it.
        jumpFrom_ = position_;
        synced_ = false;
      }
    }
  }

  const CheckFigures& figures() const { return figures_; }
  const std::string& failure() const { return failure_; }

  // At the end: no more jumps than drops, no more skipped bytes than they held.
  std::string FinalFailure() {
    if (!failure_.empty()) return failure_;
    const uint64_t drops = drops_();
    if (figures_.jumps > drops || figures_.skipped > drops * kLargestChunk) {
      return Describe() + std::to_string(figures_.jumps) + " jumps over " +
             std::to_string(figures_.skipped) + " bytes with only " + std::to_string(drops) +
             " chunks dropped";
    }
    return {};
  }

 private:
  // Two blocks less a byte always hold one whole block.
  static constexpr size_t kSyncWindow = 2 * kBlockSize - 1;

  void Verified(size_t count) {
    if (count > 0 && !counted_) {
      ++figures_.connections;
      counted_ = true;
    }
    position_ += count;
    figures_.verified += count;
    highest_ = std::max(highest_, position_);
  }

  // Finds the first whole block in the window, places the window in the
  // stream by it, and checks the place against what came before.
  void Sync() {
    for (size_t i = 0; i < kBlockSize; ++i) {
      const std::optional<BlockId> block = ParseBlock(pending_.data() + i);
      if (!block) continue;
      if (block->tag != stream_.tag()) {
        return Fail("a block of stream " + std::to_string(block->tag) + " arrived");
      }
      if (block->number * kBlockSize < i) continue;
      const uint64_t start = block->number * kBlockSize - i;
      if (!PlaceAllowed(start)) return;
      std::vector<uint8_t> window;
      window.swap(pending_);
      synced_ = true;
      position_ = start;
      jumpFrom_.reset();
      Feed(window.data(), window.size());
      return;
    }
    Fail("63 bytes arrived that hold no block of the stream");
  }

  bool PlaceAllowed(uint64_t start) {
    if (!jumpFrom_) {
      if (start >= highest_) return true;
      Fail("a new connection went back to offset " + std::to_string(start) + " after " +
           std::to_string(highest_) + " had arrived");
      return false;
    }
    if (start <= *jumpFrom_) {
      Fail("bytes from offset " + std::to_string(start) + " followed offset " +
           std::to_string(*jumpFrom_) + " in one connection");
      return false;
    }
    if (drops_() == 0) {
      Fail("a jump from offset " + std::to_string(*jumpFrom_) + " to " + std::to_string(start) +
           " within one connection, and no chunk was dropped");
      return false;
    }
    ++figures_.jumps;
    figures_.skipped += start - *jumpFrom_;
    return true;
  }

  std::string Describe() const { return "stream " + std::to_string(stream_.tag()) + ": "; }

  void Fail(const std::string& what) {
    if (failure_.empty()) failure_ = Describe() + what;
  }

  StreamBytes stream_;
  std::function<uint64_t()> drops_;
  CheckFigures figures_;
  std::vector<uint8_t> pending_;
  std::optional<uint64_t> jumpFrom_;
  std::string failure_;
  uint64_t position_ = 0;
  uint64_t highest_ = 0;
  bool counted_ = false;  // the connection has been counted
  bool synced_ = false;
  bool inConnection_ = false;
};

}  // namespace zortcp::testing
