// The input file read straight from its file descriptor.
#pragma once

#include <streambuf>

namespace ruvo {

// A stream buffer over a file descriptor opened for reading (standard input
// or the named input file).  A read that a termination signal (SIGTERM,
// SIGHUP) interrupts ends the input there, so that a run waiting on a
// stalled pipe or FIFO reaches the stop path at once; an interrupted read
// without such a request is repeated.  A read error ends the input too and
// is remembered.
class DescriptorInputBuffer : public std::streambuf {
public:
  explicit DescriptorInputBuffer(int fd) : fd_(fd) {}
  DescriptorInputBuffer(const DescriptorInputBuffer&) = delete;
  DescriptorInputBuffer& operator=(const DescriptorInputBuffer&) = delete;
  // the errno of a read that failed (0: none)
  int readError() const { return readError_; }

protected:
  int_type underflow() override;

private:
  int fd_;
  int readError_ = 0;
  char buf_[1 << 16];
};

} // namespace ruvo
