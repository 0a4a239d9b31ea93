#include "audio/CaptureBlockQueue.h"

#include <algorithm>

CaptureBlockQueue::CaptureBlockQueue(size_t capacityBlocks, size_t blockSamples)
    : blockSamples_(blockSamples),
      blocks_(std::max<size_t>(capacityBlocks, 1), std::vector<float>(blockSamples)) {}

bool CaptureBlockQueue::push(std::span<const float> block) {
  pushed_.fetch_add(1, std::memory_order_relaxed);
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  if (tail - head_.load(std::memory_order_acquire) >= blocks_.size()) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  std::vector<float>& slot = blocks_[tail % blocks_.size()];
  const size_t count = std::min(block.size(), blockSamples_);
  std::copy_n(block.begin(), count, slot.begin());
  std::fill(slot.begin() + count, slot.end(), 0.0f);
  tail_.store(tail + 1, std::memory_order_release);
  ready_.release();
  return true;
}

std::span<const float> CaptureBlockQueue::waitForBlock() {
  for (;;) {
    if (closed_.load(std::memory_order_acquire)) return {};
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head != tail_.load(std::memory_order_acquire)) return blocks_[head % blocks_.size()];
    ready_.acquire();
  }
}

void CaptureBlockQueue::pop() {
  head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void CaptureBlockQueue::close() {
  closed_.store(true, std::memory_order_release);
  ready_.release();
}
