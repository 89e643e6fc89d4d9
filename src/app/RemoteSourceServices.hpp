#pragma once

// The remote video source's process-wide services, made on first use by the composition root.

#include <memory>

namespace pd::platform::http {
class Client;
}
namespace pd::remotesource {
class InvidiousInstanceManager;
}

namespace pd::app {

// The one HTTP client of the process. Test runs of the whole application may send every
// transfer to loopback: PALENDRIX_HTTP_CONNECT_TO holds comma-separated libcurl connect-to
// entries ("host:port:address:port", empty host and port for all), and with it set nothing but
// loopback is connected to; PALENDRIX_HTTP_EXTRA_CA names a PEM CA trusted beside the system's.
std::shared_ptr<platform::http::Client> sharedHttpClient();

// The instance manager, over the standard user defaults and the shared HTTP client.
std::shared_ptr<remotesource::InvidiousInstanceManager> sharedInstanceManager();

} // namespace pd::app
