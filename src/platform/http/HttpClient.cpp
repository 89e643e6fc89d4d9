#include "platform/http/HttpClient.hpp"

#include "platform/log/LogStore.hpp"
#include "platform/text/Ascii.hpp"
#include "runtime/Callback.hpp"
#include "runtime/Executor.hpp"
#include "runtime/SerialQueue.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <unordered_map>

namespace pd::platform::http {

namespace asio = boost::asio;

TransferError::TransferError(int curlCode, std::string detail) : Error("curl", curlCode, std::move(detail)) {}

bool TransferError::isTimeout() const noexcept { return curlCode() == CURLE_OPERATION_TIMEDOUT; }

ConnectRefusedError::ConnectRefusedError(std::string detail)
    : TransferError(CURLE_COULDNT_CONNECT, std::move(detail)) {}

TransferError tooManyRedirects(long limit) {
  return TransferError(CURLE_TOO_MANY_REDIRECTS, "more than " + std::to_string(limit) + " redirects");
}

TransferError timedOut(std::string detail) { return TransferError(CURLE_OPERATION_TIMEDOUT, std::move(detail)); }

BodyTooLargeError::BodyTooLargeError(std::size_t limit)
    : Error("http", 1, "body exceeds " + std::to_string(limit) + " bytes") {}

std::optional<std::string> Response::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (platform::text::asciiEqualsIgnoreCase(key, name)) return value;
  }
  return std::nullopt;
}

std::string Client::defaultUserAgent() { return std::string(PD_APP_ID) + "/" + PD_APP_VERSION; }

namespace {

void initialiseCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

constexpr const char* kSystemCAFolder = "/etc/ssl/certs";

struct Outcome {
  CURLcode code = CURLE_OK;
  std::string message;
  bool cancelled = false;
  bool refused = false;
  bool overCap = false;
  bool idleExpired = false;
};

struct X509Deleter {
  void operator()(X509* cert) const noexcept { X509_free(cert); }
};
using X509Pointer = std::unique_ptr<X509, X509Deleter>;

std::vector<X509Pointer> readCertificates(const std::filesystem::path& file) {
  std::vector<X509Pointer> certificates;
  std::unique_ptr<FILE, int (*)(FILE*)> handle(std::fopen(file.c_str(), "re"), &std::fclose);
  if (!handle) {
    throw TransferError(CURLE_SSL_CACERT_BADFILE, "cannot read CA file " + file.string());
  }
  while (X509* cert = PEM_read_X509(handle.get(), nullptr, nullptr, nullptr)) {
    certificates.emplace_back(cert);
  }
  ERR_clear_error();
  if (certificates.empty()) {
    throw TransferError(CURLE_SSL_CACERT_BADFILE, "no certificate in " + file.string());
  }
  return certificates;
}

} // namespace

// One transfer. Touched only on the client's queue, except `cancelRequested`.
struct Transfer {
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  Request request;
  std::size_t maxBodyBytes = 0;
  BodySink sink;
  Response response;
  Outcome outcome;
  bool inMulti = false;
  bool finished = false;
  bool finalHeaders = false;
  std::atomic<bool> cancelRequested{false};
  std::unique_ptr<asio::steady_timer> idleTimer;
  runtime::UniqueFunction<void(Outcome)> done;
  Client::Impl* owner = nullptr;

  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (headerList != nullptr) curl_slist_free_all(headerList);
  }
};

struct SocketWatch {
  explicit SocketWatch(const asio::any_io_executor& executor, int fd) : descriptor(executor, fd) {}
  asio::posix::stream_descriptor descriptor;
  int wanted = 0; // CURL_POLL_IN / OUT / INOUT
  bool readArmed = false;
  bool writeArmed = false;
};

struct Client::Impl : std::enable_shared_from_this<Client::Impl> {
  Configuration configuration;
  std::vector<X509Pointer> extraCertificates;
  runtime::SerialQueue queue{"tech.quelbo.PalendrixDisplay.http"};
  asio::any_io_executor executor = queue.executor();
  CURLM* multi = nullptr;
  std::unique_ptr<asio::steady_timer> timer;
  std::unordered_map<int, std::shared_ptr<SocketWatch>> sockets;
  std::unordered_map<Transfer*, std::shared_ptr<Transfer>> transfers;
  std::atomic<std::size_t> activeCount{0};
  bool closed = false;

  void startOnQueue() {
    timer = std::make_unique<asio::steady_timer>(executor);
    openMulti();
  }

  void openMulti() {
    multi = curl_multi_init();
    if (multi == nullptr) return;
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &Impl::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &Impl::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
  }

  // Every transfer must have been finished first. The watched descriptors go back to libcurl,
  // which closes them with the handle.
  void closeMulti() {
    for (auto& [fd, watch] : sockets) {
      watch->descriptor.release();
    }
    sockets.clear();
    if (multi != nullptr) curl_multi_cleanup(multi);
    multi = nullptr;
  }

  void failAll(const char* reason) {
    auto pending = transfers;
    for (auto& [raw, transfer] : pending) {
      finish(*transfer, CURLE_ABORTED_BY_CALLBACK, reason);
    }
  }

  void closeOnQueue() {
    closed = true;
    failAll("client closed");
    timer.reset();
    closeMulti();
  }

  // --- libcurl callbacks, all on the queue ---

  // These two are called from libcurl's C code, so no exception may leave them. A timer or a
  // socket that cannot be watched (the kernel refuses another watched descriptor) is reported
  // as libcurl asks, with -1: it then fails the transfers under way instead of waiting forever.
  static int onTimer(CURLM*, long timeoutMs, void* user) noexcept try {
    auto* self = static_cast<Impl*>(user);
    if (!self->timer) return 0;
    self->timer->cancel();
    if (timeoutMs < 0) return 0;
    self->timer->expires_after(std::chrono::milliseconds(timeoutMs));
    self->timer->async_wait([weak = self->weak_from_this()](const boost::system::error_code& error) {
      auto live = weak.lock();
      if (error || !live || live->multi == nullptr) return;
      live->act(CURL_SOCKET_TIMEOUT, 0);
    });
    return 0;
  } catch (...) {
    return -1;
  }

  static int onSocket(CURL*, curl_socket_t fd, int what, void* user, void*) noexcept try {
    auto* self = static_cast<Impl*>(user);
    if (what == CURL_POLL_REMOVE) {
      self->forget(fd);
      return 0;
    }
    auto found = self->sockets.find(fd);
    if (found == self->sockets.end()) {
      found = self->sockets.emplace(fd, std::make_shared<SocketWatch>(self->executor, fd)).first;
    }
    found->second->wanted = what;
    self->arm(fd, found->second);
    return 0;
  } catch (...) {
    return -1;
  }

  void forget(int fd) {
    const auto found = sockets.find(fd);
    if (found == sockets.end()) return;
    found->second->wanted = 0;
    found->second->descriptor.release(); // libcurl owns and closes the descriptor
    sockets.erase(found);
  }

  void arm(int fd, const std::shared_ptr<SocketWatch>& watch) {
    if ((watch->wanted & CURL_POLL_IN) != 0 && !watch->readArmed) {
      watch->readArmed = true;
      watch->descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                                   [this, fd, watch, alive = weak_from_this()](const boost::system::error_code& e) {
                                     watch->readArmed = false;
                                     if (!alive.lock()) return;
                                     ready(fd, watch, CURL_POLL_IN, CURL_CSELECT_IN, e);
                                   });
    }
    if ((watch->wanted & CURL_POLL_OUT) != 0 && !watch->writeArmed) {
      watch->writeArmed = true;
      watch->descriptor.async_wait(asio::posix::descriptor_base::wait_write,
                                   [this, fd, watch, alive = weak_from_this()](const boost::system::error_code& e) {
                                     watch->writeArmed = false;
                                     if (!alive.lock()) return;
                                     ready(fd, watch, CURL_POLL_OUT, CURL_CSELECT_OUT, e);
                                   });
    }
  }

  void ready(int fd, const std::shared_ptr<SocketWatch>& watch, int direction, int select,
             const boost::system::error_code& error) {
    const auto current = sockets.find(fd);
    if (current == sockets.end() || current->second != watch || multi == nullptr) return;
    if ((watch->wanted & direction) == 0) return;
    act(fd, error ? CURL_CSELECT_ERR : select);
    const auto again = sockets.find(fd);
    if (again != sockets.end() && again->second == watch) arm(fd, watch);
  }

  static curl_socket_t onOpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
    auto* transfer = static_cast<Transfer*>(user);
    if (purpose == CURLSOCKTYPE_IPCXN) {
      const auto& target = *reinterpret_cast<const ::sockaddr*>(&address->addr);
      const auto& clientFilter = transfer->owner->configuration.connectFilter;
      const auto& requestFilter = transfer->request.connectFilter;
      if ((clientFilter && !clientFilter(target)) || (requestFilter && !requestFilter(target))) {
        transfer->outcome.refused = true;
        return CURL_SOCKET_BAD;
      }
    }
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  }

  static bool isRedirectAnswer(const Transfer& transfer) {
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    return status >= 300 && status < 400 && transfer.response.header("location").has_value();
  }

  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    transfer->owner->touch(*transfer);
    if (transfer->request.redirects == Redirects::handOver && isRedirectAnswer(*transfer)) {
      // The caller decides where to go next; this body is nobody's bytes.
      transfer->response.stoppedEarly = true;
      return 0;
    }
    if (transfer->sink) {
      if (!transfer->sink(std::string_view(data, length))) {
        transfer->response.stoppedEarly = true;
        return 0;
      }
      return length;
    }
    auto& body = transfer->response.body;
    if (length > transfer->maxBodyBytes - body.size()) {
      transfer->outcome.overCap = true;
      return 0;
    }
    body.append(data, length);
    return length;
  }

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    transfer->owner->touch(*transfer);
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    auto& headers = transfer->response.headers;
    if (line.empty() && transfer->request.headersCheck) {
      long status = 0;
      curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
      const bool passedOn = status < 200 || isRedirectAnswer(*transfer);
      if (!passedOn && !transfer->request.headersCheck(status, transfer->response)) {
        transfer->response.stoppedEarly = true;
        return 0;
      }
      return length;
    }
    if (line.starts_with("HTTP/")) {
      headers.clear(); // each hop and each interim answer starts afresh: keep the last one's
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos && headers.size() < 200) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
      headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    }
    return length;
  }

  // --- transfers ---

  void touch(Transfer& transfer) {
    if (!transfer.idleTimer) return;
    transfer.idleTimer->expires_after(transfer.request.idleTimeout);
    armIdle(transfer);
  }

  void armIdle(Transfer& transfer) {
    transfer.idleTimer->async_wait([weak = weak_from_this(), raw = &transfer](const boost::system::error_code& error) {
      auto self = weak.lock();
      if (error || !self) return;
      const auto found = self->transfers.find(raw);
      if (found == self->transfers.end()) return;
      found->second->outcome.idleExpired = true;
      self->finish(*found->second, CURLE_OPERATION_TIMEDOUT, "no data received within the idle time-out");
    });
  }

  void add(const std::shared_ptr<Transfer>& transfer) {
    if (closed || multi == nullptr) {
      finish(*transfer, CURLE_ABORTED_BY_CALLBACK, "client closed");
      return;
    }
    if (transfer->cancelRequested.load()) {
      transfer->outcome.cancelled = true;
      finish(*transfer, CURLE_ABORTED_BY_CALLBACK, "cancelled");
      return;
    }
    transfers.emplace(transfer.get(), transfer);
    activeCount.store(transfers.size());
    if (transfer->request.idleTimeout.count() > 0) {
      transfer->idleTimer = std::make_unique<asio::steady_timer>(executor);
      touch(*transfer);
    }
    const CURLMcode added = curl_multi_add_handle(multi, transfer->easy);
    if (added != CURLM_OK) {
      finish(*transfer, CURLE_FAILED_INIT, curl_multi_strerror(added));
      return;
    }
    transfer->inMulti = true;
  }

  void cancel(Transfer* raw) {
    const auto found = transfers.find(raw);
    if (found == transfers.end()) return;
    found->second->outcome.cancelled = true;
    finish(*found->second, CURLE_ABORTED_BY_CALLBACK, "cancelled");
  }

  void act(curl_socket_t fd, int select) {
    int running = 0;
    const CURLMcode code = curl_multi_socket_action(multi, fd, select, &running);
    collectFinished();
    if (code != CURLM_ABORTED_BY_CALLBACK) return;
    // A callback above failed: libcurl drives these transfers no further, and its record of
    // their sockets is left behind: an action on a descriptor number a later transfer reused
    // reached a transfer already freed. So they fail here and the handle is made anew.
    failAll("a socket or timer could not be watched");
    closeMulti();
    if (timer) timer->cancel();
    openMulti();
  }

  void collectFinished() {
    int left = 0;
    while (multi != nullptr) {
      CURLMsg* message = curl_multi_info_read(multi, &left);
      if (message == nullptr) break;
      if (message->msg != CURLMSG_DONE) continue;
      Transfer* raw = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &raw);
      const auto found = transfers.find(raw);
      if (found == transfers.end()) continue;
      const CURLcode code = message->data.result;
      finish(*found->second, code,
             found->second->errorBuffer[0] != '\0' ? found->second->errorBuffer : curl_easy_strerror(code));
    }
  }

  // Ends a transfer exactly once: out of the multi, answer handed to the waiting coroutine.
  void finish(Transfer& transfer, CURLcode code, std::string message) {
    if (transfer.finished) return;
    transfer.finished = true;
    auto keep = transfers.contains(&transfer) ? transfers.at(&transfer) : nullptr;
    if (transfer.idleTimer) transfer.idleTimer->cancel();
    if (transfer.inMulti && multi != nullptr) {
      curl_multi_remove_handle(multi, transfer.easy);
      transfer.inMulti = false;
    }
    transfers.erase(&transfer);
    activeCount.store(transfers.size());
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    transfer.response.status = status;
    char* effective = nullptr;
    if (curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective != nullptr) {
      transfer.response.effectiveUrl = effective;
    }
    char* location = nullptr;
    if (transfer.request.redirects == Redirects::handOver &&
        curl_easy_getinfo(transfer.easy, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr) {
      transfer.response.location = location;
    }
    transfer.outcome.code = code;
    transfer.outcome.message = std::move(message);
    // Only libcurl's own failures are worth a line; a stop we asked for is not one, and a client
    // closing at process end must not log into a store that may already be gone.
    const bool quiet = code == CURLE_OK || closed || transfer.outcome.cancelled || transfer.outcome.overCap ||
                       (code == CURLE_WRITE_ERROR && transfer.response.stoppedEarly);
    if (!quiet) {
      log::recordExternal("se.curl", "transfer", log::Level::error,
                          "curl error " + std::to_string(static_cast<int>(code)) + ": " + transfer.outcome.message);
    }
    if (transfer.done) {
      auto done = std::move(transfer.done);
      done(transfer.outcome);
    }
  }

  std::shared_ptr<Transfer> makeTransfer(Request request) {
    auto transfer = std::make_shared<Transfer>();
    transfer->owner = this;
    transfer->request = std::move(request);
    CURL* easy = curl_easy_init();
    if (easy == nullptr) throw TransferError(CURLE_FAILED_INIT, "curl_easy_init failed");
    transfer->easy = easy;
    const auto& r = transfer->request;
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
    curl_easy_setopt(easy, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_PROXY, ""); // an empty proxy also ignores the environment's
    curl_easy_setopt(easy, CURLOPT_USERAGENT, configuration.userAgent.c_str());
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, r.redirects == Redirects::follow ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, configuration.maxRedirects);
    if (r.totalTimeout.count() > 0)
      curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(r.totalTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &Impl::onOpenSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
    // The system CAs from the hashed folder, read as needed: loading the whole bundle costs tens
    // of milliseconds on every connection.
    if (std::filesystem::is_directory(kSystemCAFolder)) {
      curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
      curl_easy_setopt(easy, CURLOPT_CAPATH, kSystemCAFolder);
    }
    if (!extraCertificates.empty()) {
      curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &Impl::onSslContext);
      curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this);
    }
    if (connectToList != nullptr) curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectToList);
    for (const auto& header : r.headers) transfer->headerList = curl_slist_append(transfer->headerList, header.c_str());
    if (transfer->headerList != nullptr) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headerList);
    return transfer;
  }

  static CURLcode onSslContext(CURL*, void* context, void* user) {
    auto* self = static_cast<Impl*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context));
    for (const auto& cert : self->extraCertificates) X509_STORE_add_cert(store, cert.get());
    ERR_clear_error(); // a certificate already in the store is not a failure
    return CURLE_OK;
  }

  static runtime::Awaitable<Response> run(std::weak_ptr<Impl> weak, std::shared_ptr<Transfer> transfer) {
    runtime::CancellationHandler onCancel([weak, transfer] {
      transfer->cancelRequested.store(true);
      if (auto owner = weak.lock()) {
        owner->queue.post([weak, raw = transfer.get()] {
          if (auto live = weak.lock()) live->cancel(raw);
        });
      }
    });
    auto start = [weak, transfer](runtime::UniqueFunction<void(Outcome)> done) mutable {
      transfer->done = std::move(done);
      auto self = weak.lock();
      if (!self) {
        auto callback = std::move(transfer->done);
        callback(Outcome{CURLE_ABORTED_BY_CALLBACK, "client closed"});
        return;
      }
      self->queue.post([weak, transfer] {
        if (auto live = weak.lock()) live->add(transfer);
      });
    };
    Outcome outcome = co_await runtime::awaitCallback<Outcome>(std::move(start));
    if (outcome.cancelled || runtime::isCancelled()) throw runtime::CancellationError();
    if (outcome.refused && outcome.code != CURLE_OK) throw ConnectRefusedError(outcome.message);
    if (outcome.overCap) throw BodyTooLargeError(transfer->maxBodyBytes);
    if (outcome.code != CURLE_OK && !(outcome.code == CURLE_WRITE_ERROR && transfer->response.stoppedEarly)) {
      throw TransferError(outcome.code, outcome.message);
    }
    co_return std::move(transfer->response);
  }

  // Read by libcurl during transfers, so it lives as long as the client.
  curl_slist* connectToList = nullptr;

  ~Impl() {
    if (connectToList != nullptr) curl_slist_free_all(connectToList);
  }
};

Client::Client() : Client(Configuration{}) {}

Client::Client(Configuration configuration) : impl_(std::make_shared<Impl>()) {
  initialiseCurl();
  if (configuration.userAgent.empty()) configuration.userAgent = defaultUserAgent();
  if (configuration.extraCAFile) impl_->extraCertificates = readCertificates(*configuration.extraCAFile);
  for (const auto& entry : configuration.connectTo) {
    impl_->connectToList = curl_slist_append(impl_->connectToList, entry.c_str());
  }
  impl_->configuration = std::move(configuration);
  auto impl = impl_;
  impl_->queue.syncWithTimeout([impl] { impl->startOnQueue(); }, std::chrono::seconds(10));
}

Client::~Client() {
  auto impl = impl_;
  impl_->queue.syncWithTimeout([impl] { impl->closeOnQueue(); }, std::chrono::seconds(10));
  impl_->queue.shutdown();
}

std::size_t Client::activeTransfers() const { return impl_->activeCount.load(); }

runtime::Awaitable<Response> Client::fetch(Request request, std::size_t maxBodyBytes) {
  auto transfer = impl_->makeTransfer(std::move(request));
  transfer->maxBodyBytes = maxBodyBytes;
  return Impl::run(impl_, std::move(transfer));
}

runtime::Awaitable<Response> Client::stream(Request request, BodySink sink) {
  auto transfer = impl_->makeTransfer(std::move(request));
  transfer->sink = std::move(sink);
  return Impl::run(impl_, std::move(transfer));
}

} // namespace pd::platform::http
