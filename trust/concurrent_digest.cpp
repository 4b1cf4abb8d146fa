#include "trust/concurrent_digest.h"

#include <system_error>

namespace corvane {
namespace {

constexpr size_t kBlockCount = 4;
constexpr size_t kBlockBytes = 256 * 1024;

}  // namespace

ConcurrentDigest::ConcurrentDigest() : blocks_(kBlockCount) {
  for (size_t i = 0; i < blocks_.size(); ++i) {
    blocks_[i].bytes.resize(kBlockBytes);
    if (i != current_) empty_.push_back(i);
  }
  try {
    worker_ = std::thread([this] { hashBlocks(); });
  } catch (const std::system_error&) {
    // No thread: the same digest, made on the caller's thread.
  }
}

ConcurrentDigest::~ConcurrentDigest() {
  if (!worker_.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    finishing_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

uint8_t* ConcurrentDigest::room(size_t& capacity) {
  Block& block = blocks_[current_];
  capacity = block.bytes.size() - block.used;
  return block.bytes.data() + block.used;
}

void ConcurrentDigest::added(size_t length) {
  Block& block = blocks_[current_];
  block.used += length;
  if (block.used == block.bytes.size()) handOver();
}

void ConcurrentDigest::handOver() {
  Block& block = blocks_[current_];
  if (block.used == 0) return;
  if (!worker_.joinable()) {
    digest_.add(block.bytes.data(), block.used);
    block.used = 0;
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  full_.push_back(current_);
  changed_.notify_all();
  changed_.wait(lock, [this] { return !empty_.empty(); });
  current_ = empty_.front();
  empty_.pop_front();
}

void ConcurrentDigest::hashBlocks() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return finishing_ || !full_.empty(); });
    if (full_.empty()) return;
    const size_t index = full_.front();
    full_.pop_front();
    lock.unlock();
    digest_.add(blocks_[index].bytes.data(), blocks_[index].used);
    blocks_[index].used = 0;
    lock.lock();
    empty_.push_back(index);
    changed_.notify_all();
  }
}

bool ConcurrentDigest::matches(const ExpectedContent& expected) {
  handOver();
  if (worker_.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      finishing_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
  return digest_.matches(expected);
}

}  // namespace corvane
