#include "tools/hosts/cathost32/emulated_heap.h"

#include <algorithm>
#include <set>

#include "tools/hosts/cathost32/guest_memory.h"

namespace emulator {
namespace {

// Heap pages are mapped in steps this large, so that the emulator keeps few regions.
constexpr uint32_t kMapStep = 1024 * 1024;
// Freed memory stays untouched until this much (or this many blocks) has been freed after it.
constexpr uint64_t kQuarantineBytes = 32 * 1024 * 1024;
constexpr size_t kQuarantineBlocks = 65536;
// Freed spans at least this large have their whole pages made inaccessible: few blocks are
// this large, so the emulator's page tables stay small.
constexpr uint32_t kSealAtLeast = 64 * 1024;

uint64_t RoundUp(uint64_t value, uint64_t step) {
  return (value + step - 1) / step * step;
}

std::string Describe(uint32_t address, uint32_t size) {
  return "heap block " + Hex(address) + " (" + std::to_string(size) + " bytes)";
}

// The offset of the first byte in `bytes` that differs from `expected`, or -1.
long FirstChanged(const uint8_t* bytes, size_t count, uint8_t expected) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != expected) return static_cast<long>(i);
  }
  return -1;
}

}  // namespace

EmulatedHeap::EmulatedHeap(Memory& memory, uint32_t base, uint32_t limit, const HeapPolicy& policy)
    : memory_(memory), limit_(limit), policy_(policy), top_(base), mappedEnd_(base) {}

EmulatedHeap::Span EmulatedHeap::SpanOf(uint32_t address, uint32_t size) {
  return {address - kGuardBytes,
          static_cast<uint32_t>(address + RoundUp(size, kAlignment) + kGuardBytes)};
}

bool EmulatedHeap::Refused(uint32_t size) const {
  if (policy_.refuseSize != 0 && size == policy_.refuseSize &&
      sizeMatches_++ >= policy_.grantOfSizeFirst) {
    return true;
  }
  return size > policy_.refuseAbove || allocations_ >= policy_.refuseAfter;
}

uint32_t EmulatedHeap::Allocate(uint32_t size, bool zeroed, std::string* fault) {
  fault->clear();
  if (Refused(size)) return 0;
  // Even an empty block gets both guard zones, which also makes malloc(0) unique.
  const uint64_t bytes = kGuardBytes + RoundUp(size, kAlignment) + kGuardBytes;
  uint32_t start = 0;
  if (!Place(bytes, &start, fault)) return 0;
  const uint32_t address = start + kGuardBytes;
  const uint32_t tailBytes = static_cast<uint32_t>(start + bytes - (address + uint64_t{size}));
  const uint8_t guard[2 * kGuardBytes] = {
      kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte,
      kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte,
      kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte,
      kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte, kGuardByte,
      kGuardByte, kGuardByte, kGuardByte, kGuardByte};
  if (!memory_.Write(start, guard, kGuardBytes) ||
      !FillBytes(memory_, address, zeroed ? 0 : kFreshByte, size) ||
      !memory_.Write(address + size, guard, tailBytes)) {
    *fault = "the heap's own memory at " + Hex(start) + " cannot be written";
    return 0;
  }
  live_[address] = Block{size, nextSerial_++};
  ++liveSinceBaseline_;
  ++allocations_;
  return address;
}

bool EmulatedHeap::Place(uint64_t bytes, uint32_t* start, std::string* fault) {
  if (bytes <= limit_ - top_) {
    const uint32_t newTop = static_cast<uint32_t>(top_ + bytes);
    if (newTop > mappedEnd_) {
      const uint32_t mapEnd =
          static_cast<uint32_t>(std::min<uint64_t>(limit_, RoundUp(newTop, kMapStep)));
      if (!memory_.Map(mappedEnd_, mapEnd - mappedEnd_, kRead | kWrite)) {
        *fault = "the heap cannot map " + Hex(mappedEnd_) + ".." + Hex(mapEnd);
        return false;
      }
      mappedEnd_ = mapEnd;
    }
    *start = top_;
    top_ = newTop;
    return true;
  }
  // The bump pointer reached the limit: reuse freed memory, releasing quarantined blocks
  // oldest first and only as many as it takes, so the most recently freed stay untouched.
  while (true) {
    if (TakeFreeRange(bytes, start, fault)) return true;
    if (!fault->empty() || quarantine_.empty()) return false;
    ReleaseOldestQuarantined(fault);
    if (!fault->empty()) return false;
  }
}

bool EmulatedHeap::TakeFreeRange(uint64_t bytes, uint32_t* start, std::string* fault) {
  for (auto range = freeRanges_.begin(); range != freeRanges_.end(); ++range) {
    const auto [rangeStart, rangeEnd] = *range;
    if (rangeEnd - rangeStart < bytes) continue;
    freeRanges_.erase(range);
    const uint32_t end = static_cast<uint32_t>(rangeStart + bytes);
    if (end < rangeEnd) freeRanges_[end] = rangeEnd;
    // Pages sealed when an earlier block was freed here become usable again.
    const uint32_t firstPage = rangeStart - rangeStart % kPageSize;
    const uint32_t endPage = static_cast<uint32_t>(RoundUp(end, kPageSize));
    if (!memory_.Protect(firstPage, endPage - firstPage, kRead | kWrite)) {
      *fault = "the heap cannot reopen " + Hex(firstPage) + ".." + Hex(endPage);
      return false;
    }
    *start = rangeStart;
    return true;
  }
  return false;
}

bool EmulatedHeap::SealedPages(const Span& span, uint32_t* first, uint32_t* end) {
  if (span.end - span.start < kSealAtLeast) return false;
  *first = static_cast<uint32_t>(RoundUp(span.start, kPageSize));
  *end = span.end - span.end % kPageSize;
  return *first < *end;
}

bool EmulatedHeap::Free(uint32_t address, std::string* fault) {
  fault->clear();
  if (address == 0) return true;
  const auto found = live_.find(address);
  if (found == live_.end()) {
    *fault = "free of " + Hex(address) +
             (quarantined_.contains(address) ? " which was already freed"
                                             : " which is not a live heap block");
    return false;
  }
  const Block block = found->second;
  if (std::string damage = GuardDamage(address, block); !damage.empty()) {
    damage_.push_back(damage);
    *fault = damage;
    return false;
  }
  const Span span = SpanOf(address, block.size);
  uint32_t sealFirst = 0, sealEnd = 0;
  bool filled;
  if (SealedPages(span, &sealFirst, &sealEnd)) {
    filled = memory_.Protect(sealFirst, sealEnd - sealFirst, 0) &&
             FillBytes(memory_, span.start, kFreedByte, sealFirst - span.start) &&
             FillBytes(memory_, sealEnd, kFreedByte, span.end - sealEnd);
  } else {
    filled = FillBytes(memory_, span.start, kFreedByte, span.end - span.start);
  }
  if (!filled) {
    *fault = "the heap's own memory at " + Hex(span.start) + " cannot be written";
    return false;
  }
  live_.erase(found);
  if (block.serial >= baselineSerial_) --liveSinceBaseline_;
  quarantine_.push_back(span);
  quarantined_[address] = span;
  quarantinedBytes_ += span.end - span.start;
  while (quarantinedBytes_ > kQuarantineBytes || quarantine_.size() > kQuarantineBlocks) {
    ReleaseOldestQuarantined(fault);
    if (!fault->empty()) return false;
  }
  return true;
}

void EmulatedHeap::ReleaseOldestQuarantined(std::string* fault) {
  const Span span = quarantine_.front();
  quarantine_.pop_front();
  quarantined_.erase(span.start + kGuardBytes);
  quarantinedBytes_ -= span.end - span.start;

  // The freed pattern must have survived in the part that stayed accessible.
  uint32_t sealFirst = span.end, sealEnd = span.end;
  SealedPages(span, &sealFirst, &sealEnd);
  const Span open[2] = {{span.start, sealFirst}, {sealEnd, span.end}};
  for (const Span& part : open) {
    for (uint32_t at = part.start; at < part.end;) {
      const uint32_t step = std::min<uint32_t>(part.end - at, 64 * 1024);
      scratch_.resize(step);
      if (!memory_.Read(at, scratch_.data(), step)) {
        *fault = "the heap's own memory at " + Hex(at) + " cannot be read";
        return;
      }
      if (const long changed = FirstChanged(scratch_.data(), step, kFreedByte); changed >= 0) {
        const uint32_t address = span.start + kGuardBytes;
        *fault = "heap block " + Hex(address) + " was written after it was freed, at offset " +
                 std::to_string(static_cast<long>(at + changed) - static_cast<long>(address));
        damage_.push_back(*fault);
        return;
      }
      at += step;
    }
  }

  uint32_t start = span.start, end = span.end;
  if (auto next = freeRanges_.find(end); next != freeRanges_.end()) {
    end = next->second;
    freeRanges_.erase(next);
  }
  if (auto after = freeRanges_.lower_bound(start); after != freeRanges_.begin()) {
    if (auto before = std::prev(after); before->second == start) {
      start = before->first;
      freeRanges_.erase(before);
    }
  }
  freeRanges_[start] = end;
}

bool EmulatedHeap::Reallocate(uint32_t address, uint32_t size, uint32_t* result,
                              std::string* fault) {
  fault->clear();
  *result = 0;
  if (address == 0) {
    *result = Allocate(size, false, fault);
    return fault->empty();
  }
  const auto found = live_.find(address);
  if (found == live_.end()) {
    *fault = "realloc of " + Hex(address) +
             (quarantined_.contains(address) ? " which was already freed"
                                             : " which is not a live heap block");
    return false;
  }
  const uint32_t oldSize = found->second.size;
  if (std::string damage = GuardDamage(address, found->second); !damage.empty()) {
    damage_.push_back(damage);
    *fault = damage;
    return false;
  }
  // msvcrt's realloc frees the block and returns NULL for a size of 0.
  if (size == 0) return Free(address, fault);
  // Always a new block: a caller that keeps using the old pointer reads freed memory.
  const uint32_t moved = Allocate(size, false, fault);
  if (moved == 0) return fault->empty();
  if (!MoveBytes(memory_, moved, address, std::min(oldSize, size))) {
    *fault = "the heap cannot copy " + Describe(address, oldSize);
    return false;
  }
  if (!Free(address, fault)) return false;
  *result = moved;
  return true;
}

std::string EmulatedHeap::GuardDamage(uint32_t address, const Block& block) const {
  uint8_t before[kGuardBytes];
  const Span span = SpanOf(address, block.size);
  const uint32_t tailBytes = span.end - (address + block.size);
  uint8_t after[2 * kGuardBytes];
  if (!memory_.Read(span.start, before, kGuardBytes) ||
      !memory_.Read(address + block.size, after, tailBytes)) {
    return Describe(address, block.size) + " can no longer be read";
  }
  if (const long changed = FirstChanged(before, kGuardBytes, kGuardByte); changed >= 0) {
    return Describe(address, block.size) + " was written before its start, at offset " +
           std::to_string(changed - static_cast<long>(kGuardBytes));
  }
  if (const long changed = FirstChanged(after, tailBytes, kGuardByte); changed >= 0) {
    return Describe(address, block.size) + " was written past its end, at offset " +
           std::to_string(block.size + changed);
  }
  return "";
}

std::string EmulatedHeap::Check() const {
  std::set<std::string> lines(damage_.begin(), damage_.end());
  for (const auto& [address, block] : live_) {
    if (std::string damage = GuardDamage(address, block); !damage.empty()) lines.insert(damage);
  }
  std::string report;
  for (const std::string& line : lines) report += (report.empty() ? "" : "\n") + line;
  return report;
}

}  // namespace emulator
