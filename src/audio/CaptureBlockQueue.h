// The hand-off of captured blocks from the PulseAudio mainloop thread (the one producer) to the
// capture thread (the one consumer): a fixed ring of blocks, so that the producer never waits
// and never allocates. When the consumer falls so far behind that the ring is full, the new
// block is dropped and counted rather than holding up the mainloop, which also serves playback.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <semaphore>
#include <span>
#include <vector>

class CaptureBlockQueue {
 public:
  CaptureBlockQueue(size_t capacityBlocks, size_t blockSamples);

  // Producer: copies the block (blockSamples long) in; false when it was dropped.
  bool push(std::span<const float> block);

  // Consumer: waits for the oldest block, or returns an empty span once closed. The block stays
  // valid until pop().
  std::span<const float> waitForBlock();
  // Consumer: lets go of the block waitForBlock() gave.
  void pop();

  // Any thread: makes waitForBlock() return empty from now on.
  void close();

  // Any thread.
  uint64_t pushed() const { return pushed_.load(std::memory_order_relaxed); }
  uint64_t popped() const { return head_.load(std::memory_order_relaxed); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  const size_t blockSamples_;
  std::vector<std::vector<float>> blocks_;
  std::atomic<uint64_t> head_{0};  // next block to hand out; written by the consumer
  std::atomic<uint64_t> tail_{0};  // next free block; written by the producer
  std::atomic<uint64_t> pushed_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<bool> closed_{false};
  std::counting_semaphore<> ready_{0};
};
