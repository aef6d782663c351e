#include "driver/input_stream.h"

#include <cerrno>
#include <unistd.h>

#include "core/state.h"

namespace ruvo {

DescriptorInputBuffer::int_type DescriptorInputBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  for (;;) {
    const ssize_t k = ::read(fd_, buf_, sizeof buf_);
    if (k > 0) {
      setg(buf_, buf_, buf_ + k);
      return traits_type::to_int_type(*gptr());
    }
    if (k == 0) return traits_type::eof();
    if (errno == EINTR && g_terminateSignal == 0) continue;
    if (errno != EINTR) readError_ = errno;
    return traits_type::eof();
  }
}

} // namespace ruvo
