// SHA-256 of a body computed on a thread of its own while the body is still arriving, so
// that checking a large package against its signed manifest costs little more than
// fetching it. The caller reads the body straight into the digest's buffers.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "trust/signed_manifest.h"

namespace corvane {

class ConcurrentDigest {
 public:
  ConcurrentDigest();
  ~ConcurrentDigest();
  ConcurrentDigest(const ConcurrentDigest&) = delete;
  ConcurrentDigest& operator=(const ConcurrentDigest&) = delete;

  // Where the next bytes of the body go, and how many fit; valid until `added`.
  uint8_t* room(size_t& capacity);
  // The first `length` bytes at room() are the body's next bytes.
  void added(size_t length);
  // Waits for the hashing to finish: true when exactly `expected` went past.
  bool matches(const ExpectedContent& expected);

 private:
  struct Block {
    std::vector<uint8_t> bytes;
    size_t used = 0;
  };
  void handOver();
  void hashBlocks();

  std::vector<Block> blocks_;
  size_t current_ = 0;
  std::deque<size_t> full_;   // blocks waiting to be hashed, in body order
  std::deque<size_t> empty_;  // blocks free to be filled
  bool finishing_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  ContentDigest digest_;
  std::thread worker_;  // absent when no thread could be started: then hashing is inline
};

}  // namespace corvane
