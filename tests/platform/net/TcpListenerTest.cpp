// Making a listener: a port it cannot read back is a failed start.

#include "platform/net/TcpListener.hpp"

#include "runtime/Error.hpp"
#include "runtime/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/socket.h>

#include <bit>
#include <cerrno>
#include <utility>

namespace {

// Set on a thread, the next address query that thread makes fails with this errno.
thread_local int failNextAddressQuery = 0;

} // namespace

// Stands in for the C library's, so that a test can make reading a bound address fail.
extern "C" int getsockname(int fd, sockaddr* address, socklen_t* length) noexcept {
  using Real = int (*)(int, sockaddr*, socklen_t*);
  static const auto real = std::bit_cast<Real>(::dlsym(RTLD_NEXT, "getsockname"));
  if (const int error = std::exchange(failNextAddressQuery, 0)) {
    errno = error;
    return -1;
  }
  return real(fd, address, length);
}

namespace pd::platform::net {
namespace {

TEST(TcpListenerTest, AnUnreadableBoundAddressFailsTheCreationRatherThanReportingPortZero) {
  runtime::SerialQueue queue("com.example.test.listener");
  failNextAddressQuery = ENOBUFS;
  try {
    const auto listener = TcpListener::create(queue.executor(), 0);
    ADD_FAILURE() << "created, on port " << listener->port();
  } catch (const PosixError& error) {
    EXPECT_EQ(error.errnum(), ENOBUFS);
  }
  EXPECT_EQ(failNextAddressQuery, 0) << "the address was never asked for";
  EXPECT_NE(TcpListener::create(queue.executor(), 0)->port(), 0);
}

} // namespace
} // namespace pd::platform::net
