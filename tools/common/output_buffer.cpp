#include "tools/common/output_buffer.h"

#include <algorithm>
#include <cstring>

OutputBuffer::OutputBuffer(FILE* stream, size_t capacity)
    : stream_(stream), data_(new char[capacity]), capacity_(capacity) {}

void OutputBuffer::Append(const char* text, size_t size) {
  while (size > 0) {
    char* out = Reserve(std::min(size, capacity_));
    size_t room = capacity_ - used_;
    size_t part = std::min(size, room);
    std::memcpy(out, text, part);
    used_ += part;
    text += part;
    size -= part;
  }
}

bool OutputBuffer::Flush() {
  if (used_ > 0) {
    if (std::fwrite(data_.get(), 1, used_, stream_) != used_) failed_ = true;
    used_ = 0;
  }
  if (std::fflush(stream_) != 0) failed_ = true;
  return !failed_;
}
