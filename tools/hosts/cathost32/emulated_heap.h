// The DLL's heap (msvcrt malloc and friends) inside emulated memory, built to catch the
// DLL's heap faults rather than to save memory:
// - every block sits between guard zones filled with a pattern that free, realloc and
//   Check() verify, and the tail guard starts at the exact requested size;
// - blocks are carved from a bump pointer, and freed blocks wait in a quarantine before their
//   memory is ever handed out again, so a stale pointer reads the freed pattern (or faults,
//   for large blocks whose pages are made inaccessible) instead of a newer block;
// - a HeapPolicy makes requests fail on demand, to test the DLL's out-of-memory paths.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "tools/hosts/cathost32/win32_system.h"

namespace emulator {

class EmulatedHeap {
 public:
  // Blocks are carved from [base, limit), both page aligned.
  EmulatedHeap(Memory& memory, uint32_t base, uint32_t limit, const HeapPolicy& policy);

  // The address of a new block, or 0 when the policy refuses it or the heap is exhausted.
  // New blocks hold kFreshByte, zeroed ones zeros. An empty string in `*fault` unless the
  // emulated memory itself failed (which stops the run).
  uint32_t Allocate(uint32_t size, bool zeroed, std::string* fault);
  // Frees a live block; false with `*fault` naming the fault (not a live block, a block
  // freed twice, damaged guard zones). 0 is accepted and ignored.
  bool Free(uint32_t address, std::string* fault);
  // realloc: `*result` is the new block (0 when refused, which keeps the old block, or when
  // `size` is 0, which frees it). False with `*fault` as for Free.
  bool Reallocate(uint32_t address, uint32_t size, uint32_t* result, std::string* fault);

  // Guard-zone damage of the live blocks and any found earlier, one line each.
  std::string Check() const;

  // The refusals from now on; refuseAfter counts the successes from this call.
  void SetPolicy(const HeapPolicy& policy) {
    policy_ = policy;
    allocations_ = 0;
    sizeMatches_ = 0;
  }

  size_t LiveBlocks() const { return live_.size(); }
  void MarkBaseline() {
    baselineSerial_ = nextSerial_;
    liveSinceBaseline_ = 0;
  }
  size_t LiveBlocksSinceBaseline() const { return liveSinceBaseline_; }

  static constexpr uint32_t kAlignment = 16;
  static constexpr uint32_t kGuardBytes = 16;
  static constexpr uint8_t kGuardByte = 0xFD;
  static constexpr uint8_t kFreshByte = 0xCD;
  static constexpr uint8_t kFreedByte = 0xDD;

 private:
  struct Block {
    uint32_t size;
    uint64_t serial;
  };
  struct Span {
    uint32_t start, end;
  };
  static Span SpanOf(uint32_t address, uint32_t size);
  bool Refused(uint32_t size) const;
  // Where a span of `bytes` can go: the bump pointer first, then memory out of quarantine.
  bool Place(uint64_t bytes, uint32_t* start, std::string* fault);
  bool TakeFreeRange(uint64_t bytes, uint32_t* start, std::string* fault);
  void ReleaseOldestQuarantined(std::string* fault);
  std::string GuardDamage(uint32_t address, const Block& block) const;
  // The part of a freed span that stays accessible (its inaccessible middle excluded).
  static bool SealedPages(const Span& span, uint32_t* first, uint32_t* end);

  Memory& memory_;
  const uint32_t limit_;
  HeapPolicy policy_;
  uint32_t top_;                      // the bump pointer
  uint32_t mappedEnd_;                // pages below this are mapped
  uint64_t allocations_ = 0;          // successes under the current policy
  mutable uint32_t sizeMatches_ = 0;  // requests of policy_.refuseSize seen under it
  uint64_t nextSerial_ = 0, baselineSerial_ = 0;
  size_t liveSinceBaseline_ = 0;
  std::unordered_map<uint32_t, Block> live_;
  std::deque<Span> quarantine_;
  std::unordered_map<uint32_t, Span> quarantined_;  // by block address, to name double frees
  uint64_t quarantinedBytes_ = 0;
  std::map<uint32_t, uint32_t> freeRanges_;  // start -> end, coalesced, out of quarantine
  std::vector<std::string> damage_;
  std::vector<uint8_t> scratch_;
};

}  // namespace emulator
