#include "diagnostics/LogErrorFields.hpp"

#include "diagnostics/LogRing.hpp"
#include "platform/json/DecodingError.hpp"
#include "runtime/Error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <system_error>

namespace pd_test {
struct OddFailure : std::runtime_error {
  OddFailure() : std::runtime_error("odd") {}
};
} // namespace pd_test

namespace pd::diagnostics {
namespace {

using platform::json::CodingPath;
using platform::json::DecodingError;

class RingCallWatch {
public:
  std::uint64_t errorFlushesSince() const { return LogRing::shared().callCounts().errorFlush - errorFlushes_; }
  LogRing::CallCounts all() const { return LogRing::shared().callCounts(); }

private:
  std::uint64_t errorFlushes_ = LogRing::shared().callCounts().errorFlush;
};

TEST(LogErrorFieldsTest, DecodingErrorGivesCaseWordAndPath) {
  const DecodingError missing(DecodingError::Kind::keyNotFound, CodingPath{std::string("items"), std::size_t{0}},
                              "No value associated with key title");
  const auto fields = LogErrorFields::fields(missing, false);
  EXPECT_EQ(fields.domain, "DecodingError.keyNotFound");
  EXPECT_EQ(fields.code, 0);
  EXPECT_EQ(fields.detail, missing.what());
  EXPECT_EQ(fields.path, "items.[0]");

  const DecodingError topLevel(DecodingError::Kind::typeMismatch, CodingPath{}, "Expected an object");
  const auto top = LogErrorFields::fields(topLevel, false);
  EXPECT_EQ(top.domain, "DecodingError.typeMismatch");
  EXPECT_EQ(top.path, "-");
}

TEST(LogErrorFieldsTest, OwnErrorsReportTheirDomainCodeAndDetail) {
  const auto posix = LogErrorFields::fields(PosixError(ENOENT, "open manifest.json"), false);
  EXPECT_EQ(posix.domain, "POSIX");
  EXPECT_EQ(posix.code, ENOENT);
  EXPECT_NE(posix.detail.find("open manifest.json"), std::string::npos);
  EXPECT_EQ(posix.path, "-");

  const auto cancelled = LogErrorFields::fields(runtime::CancellationError(), false);
  EXPECT_EQ(cancelled.domain, "CancellationError");
  EXPECT_EQ(cancelled.code, 1);
}

TEST(LogErrorFieldsTest, SystemAndFileSystemErrorsArePosix) {
  const auto system = LogErrorFields::fields(std::system_error(EACCES, std::system_category(), "bind"), false);
  EXPECT_EQ(system.domain, "POSIX");
  EXPECT_EQ(system.code, EACCES);
  EXPECT_NE(system.detail.find("bind"), std::string::npos);

  const auto generic = LogErrorFields::fields(std::system_error(std::make_error_code(std::errc::timed_out)), false);
  EXPECT_EQ(generic.domain, "POSIX");
  EXPECT_EQ(generic.code, ETIMEDOUT);

  std::error_code code;
  (void)std::filesystem::file_size("/nonexistent/launch.seq", code);
  const auto file =
      LogErrorFields::fields(std::filesystem::filesystem_error("file_size", "/nonexistent/launch.seq", code), false);
  EXPECT_EQ(file.domain, "POSIX");
  EXPECT_EQ(file.code, ENOENT);
  EXPECT_NE(file.detail.find("/nonexistent/launch.seq"), std::string::npos);
  EXPECT_EQ(file.path, "-");

  const auto future =
      LogErrorFields::fields(std::system_error(std::make_error_code(std::future_errc::no_state)), false);
  EXPECT_EQ(future.domain, "future");
  EXPECT_EQ(future.code, static_cast<int>(std::future_errc::no_state));
}

TEST(LogErrorFieldsTest, OtherExceptionsReportTheirTypeName) {
  const auto runtime = LogErrorFields::fields(std::runtime_error("boom"), false);
  EXPECT_EQ(runtime.domain, "std::runtime_error");
  EXPECT_EQ(runtime.code, 0);
  EXPECT_EQ(runtime.detail, "boom");
  EXPECT_EQ(runtime.path, "-");
  EXPECT_EQ(LogErrorFields::fields(pd_test::OddFailure(), false).domain, "pd_test::OddFailure");
  EXPECT_EQ(LogErrorFields::fields(std::exception(), false).domain, "std::exception");
}

TEST(LogErrorFieldsTest, CapturedExceptions) {
  const auto captured = LogErrorFields::fields(std::make_exception_ptr(PosixError(EPIPE, "send")), false);
  EXPECT_EQ(captured.domain, "POSIX");
  EXPECT_EQ(captured.code, EPIPE);

  const auto odd = LogErrorFields::fields(std::make_exception_ptr(42), false);
  EXPECT_EQ(odd.domain, "unknown");
  EXPECT_EQ(odd.code, 0);

  const auto none = LogErrorFields::fields(std::exception_ptr(), false);
  EXPECT_EQ(none.domain, "-");
  EXPECT_EQ(none.path, "-");
}

TEST(LogErrorFieldsTest, OnlyTheFlagAsksTheRingToFlush) {
  const RingCallWatch watch;
  const auto before = watch.all();
  LogErrorFields::fields(std::runtime_error("x"), false);
  LogErrorFields::fields(std::make_exception_ptr(std::runtime_error("x")), false);
  LogErrorFields::fields(std::exception_ptr(), false);
  const auto untouched = watch.all();
  EXPECT_EQ(untouched.errorFlush, before.errorFlush);
  EXPECT_EQ(untouched.flush, before.flush);
  EXPECT_EQ(untouched.start, before.start);
  EXPECT_EQ(untouched.terminal, before.terminal);

  LogErrorFields::fields(std::runtime_error("x"), true);
  EXPECT_EQ(watch.errorFlushesSince(), 1u);
  LogErrorFields::fields(std::make_exception_ptr(std::runtime_error("x")), true);
  EXPECT_EQ(watch.errorFlushesSince(), 2u);
}

} // namespace
} // namespace pd::diagnostics
