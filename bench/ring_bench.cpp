// SPDX-License-Identifier: MIT
// Ring throughput: 4 KiB moved into a ring and out again, one byte per
// operation (RxRingPut/RxRingGet, TxRingPut/TxRingGet, as the default mode
// does) and in runs under one lock hold (as the fast transfer mode does),
// beside a plain memcpy of the same bytes in and out of a buffer of the
// ring's size. Single-threaded: the lock is never contended, so the figures
// are the cost of the operations themselves.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/control_block.h"
#include "platform/platform.h"
#include "transport/rings.h"

namespace zortcp {
namespace {

constexpr int32_t kBlock = 4096;
constexpr int32_t kRxRingSize = 65536;
constexpr int32_t kTxRingSize = 8192;

// A control block with both rings allocated, as an open leaves them.
class RingBlock {
 public:
  RingBlock() : block_(std::make_unique<PortControlBlock>()) {
    rxMemory_ = platform::AllocateZeroed(kRxRingSize);
    txMemory_ = platform::AllocateZeroed(kTxRingSize);
    block_->rx.buffer.store(rxMemory_.get());
    block_->rx.size.store(kRxRingSize);
    block_->tx.buffer.store(txMemory_.get());
    block_->tx.size.store(kTxRingSize);
  }
  PortControlBlock& operator*() { return *block_; }

 private:
  std::unique_ptr<PortControlBlock> block_;
  platform::MemoryBlock rxMemory_;
  platform::MemoryBlock txMemory_;
};

std::vector<uint8_t> Pattern() {
  std::vector<uint8_t> bytes(kBlock);
  for (int32_t i = 0; i < kBlock; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7);
  return bytes;
}

void CountBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlock);
}

void RxRingPerByte(benchmark::State& state) {
  RingBlock block;
  const std::vector<uint8_t> in = Pattern();
  std::vector<uint8_t> out(kBlock);
  for (auto _ : state) {
    for (int32_t i = 0; i < kBlock; ++i) RxRingPut(*block, in[static_cast<size_t>(i)]);
    for (int32_t i = 0; i < kBlock; ++i) out[static_cast<size_t>(i)] = RxRingGet(*block);
    benchmark::DoNotOptimize(out.data());
  }
  CountBytes(state);
}

void RxRingRun(benchmark::State& state) {
  RingBlock block;
  const std::vector<uint8_t> in = Pattern();
  std::vector<uint8_t> out(kBlock);
  for (auto _ : state) {
    RxRingPutRun(*block, in.data(), kBlock);
    benchmark::DoNotOptimize(RxRingGetRun(*block, out.data(), kBlock));
  }
  CountBytes(state);
}

void TxRingPerByte(benchmark::State& state) {
  RingBlock block;
  const std::vector<uint8_t> in = Pattern();
  std::vector<uint8_t> out(kBlock);
  for (auto _ : state) {
    for (int32_t i = 0; i < kBlock; ++i) TxRingPut(*block, in[static_cast<size_t>(i)]);
    for (int32_t i = 0; i < kBlock; ++i) out[static_cast<size_t>(i)] = TxRingGet(*block);
    benchmark::DoNotOptimize(out.data());
  }
  CountBytes(state);
}

void TxRingRun(benchmark::State& state) {
  RingBlock block;
  const std::vector<uint8_t> in = Pattern();
  std::vector<uint8_t> out(kBlock);
  for (auto _ : state) {
    TxRingPutRun(*block, in.data(), kBlock);
    benchmark::DoNotOptimize(TxRingGetRun(*block, out.data(), kBlock));
  }
  CountBytes(state);
}

// The floor: the same bytes copied into a buffer of the RxRing's size at a
// moving position, and out again.
void MemcpyBaseline(benchmark::State& state) {
  // Allocated as the rings are, so that both copy between buffers of the
  // same alignment.
  platform::MemoryBlock ring = platform::AllocateZeroed(kRxRingSize);
  const std::vector<uint8_t> in = Pattern();
  std::vector<uint8_t> out(kBlock);
  size_t position = 0;
  for (auto _ : state) {
    std::memcpy(ring.get() + position, in.data(), kBlock);
    std::memcpy(out.data(), ring.get() + position, kBlock);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    position = (position + kBlock) % kRxRingSize;
  }
  CountBytes(state);
}

// Rates are per second of the thread's processor time, so that other work on
// the machine does not count against the rings.
BENCHMARK(MemcpyBaseline);
BENCHMARK(RxRingPerByte);
BENCHMARK(RxRingRun);
BENCHMARK(TxRingPerByte);
BENCHMARK(TxRingRun);

}  // namespace
}  // namespace zortcp

BENCHMARK_MAIN();
