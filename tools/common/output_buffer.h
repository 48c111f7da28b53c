// A large output block filled in place and written with one fwrite when full, so that listing
// an item costs a few stores instead of a stdio call per field.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

class OutputBuffer {
 public:
  explicit OutputBuffer(FILE* stream, size_t capacity = size_t{1} << 18);
  ~OutputBuffer() { Flush(); }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  // Returns room for at least `bytes` contiguous bytes (at most the capacity); hand the end of
  // what was written to Commit.
  char* Reserve(size_t bytes) {
    if (bytes > capacity_ - used_) Flush();
    return data_.get() + used_;
  }
  void Commit(const char* end) { used_ = static_cast<size_t>(end - data_.get()); }

  // Copies text of any length, flushing as often as it needs.
  void Append(const char* text, size_t size);

  // Writes what is buffered; false once any write has failed.
  bool Flush();
  bool failed() const { return failed_; }

 private:
  FILE* stream_;
  std::unique_ptr<char[]> data_;
  size_t capacity_;
  size_t used_ = 0;
  bool failed_ = false;
};
