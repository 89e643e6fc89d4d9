// The three request outcome lines, the counters and the statistics line.

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "mediaserver/LocalVideoHTTPServerImpl.hpp"
#include "runtime/Clock.hpp"

#include <cmath>

namespace pd::mediaserver {

using diagnostics::Log;
using diagnostics::LogErrorFields;
using diagnostics::LogThrottle;
using diagnostics::logThrottled;

void LocalVideoHTTPServer::Impl::statsCheck() {
  const double now = runtime::monotonicSeconds();
  if (lastStatsTime == 0) {
    lastStatsTime = now;
  } else if (now - lastStatsTime >= std::chrono::duration<double>(timing.statsInterval).count()) {
    lastStatsTime = now;
    logStats();
  }
}

void LocalVideoHTTPServer::Impl::logStats() {
  if (statsRequests > 0 || statsFails > 0 || statsBytes > 0) {
    Log::localvideo().notice("http_stats requests=%ld size_b=%lld fails=%ld", statsRequests, statsBytes, statsFails);
    statsRequests = 0;
    statsFails = 0;
    statsBytes = 0;
  }
}

void LocalVideoHTTPServer::Impl::logRequestFailure(std::string_view reason, std::int64_t status,
                                                   const std::optional<std::string>& token, std::exception_ptr error) {
  ++statsFails;
  statsCheck();
  logThrottled("http_request_fail", kRequestLineRule, [&](std::int64_t count) {
    if (!error) {
      if (!token) {
        Log::localvideo().error("http_request_fail reason=%{public}s status=%ld occurrences=%ld", reason, status,
                                count);
      } else {
        Log::localvideo().error(
            "http_request_fail reason=%{public}s status=%ld token=%{private,mask.hash}s occurrences=%ld", reason,
            status, *token, count);
      }
      return;
    }
    const auto fields = LogErrorFields::fields(error, true);
    Log::localvideo().error("http_request_fail reason=%{public}s status=%ld token=%{private,mask.hash}s "
                            "err_domain=%{public}s err_code=%ld error=%s occurrences=%ld",
                            reason, status, token.value_or("-"), fields.domain, fields.code, fields.detail, count);
  });
}

void LocalVideoHTTPServer::Impl::logRequestAbort(std::string_view reason, const std::optional<std::string>& token,
                                                 std::int64_t size, std::exception_ptr error) {
  logThrottled("http_request_abort", kRequestLineRule, [&](std::int64_t count) {
    const auto fields = LogErrorFields::fields(error, true);
    if (!token) {
      Log::localvideo().debug("http_request_abort reason=%{public}s size_b=%lld err_domain=%{public}s err_code=%ld "
                              "error=%s occurrences=%ld",
                              reason, size, fields.domain, fields.code, fields.detail, count);
    } else {
      Log::localvideo().debug("http_request_abort reason=%{public}s token=%{private,mask.hash}s size_b=%lld "
                              "err_domain=%{public}s err_code=%ld error=%s occurrences=%ld",
                              reason, *token, size, fields.domain, fields.code, fields.detail, count);
    }
  });
}

void LocalVideoHTTPServer::Impl::logRequestComplete(const RequestLogContext& context) {
  if (const auto previous = LogThrottle::shared().reset("http_request_fail"); previous && *previous > 1) {
    Log::localvideo().notice("http_request_recovered after=%ld", *previous);
  }
  logThrottled("http_request_complete", kRequestLineRule, [&](std::int64_t count) {
    const double elapsed = (runtime::monotonicSeconds() - context.startedAt) * 1000.0;
    const auto durationMs =
        std::isfinite(elapsed) && elapsed > 0 && elapsed < 9.0e18 ? static_cast<std::int64_t>(elapsed) : 0;
    Log::localvideo().debug("http_request_complete token=%{private,mask.hash}s status=%ld size_b=%lld dur_ms=%ld "
                            "occurrences=%ld",
                            context.token, context.status, context.sent, durationMs, count);
  });
}

} // namespace pd::mediaserver
