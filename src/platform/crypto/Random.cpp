#include "platform/crypto/Random.hpp"

#include <openssl/evp.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace pd::platform::crypto {

void fillRandom(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::fputs("fatal: getrandom failed\n", stderr);
      std::abort();
    }
    done += static_cast<std::size_t>(n);
  }
}

namespace {
std::array<std::uint8_t, 16> uuidBytes() {
  std::array<std::uint8_t, 16> b{};
  fillRandom(b);
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40); // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
  return b;
}
} // namespace

std::string toHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0F]);
  }
  return out;
}

std::string makeUUIDString() {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const auto b = uuidBytes();
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kDigits[b[i] >> 4]);
    out.push_back(kDigits[b[i] & 0x0F]);
  }
  return out;
}

std::string makeHexToken32() {
  const auto b = uuidBytes();
  return toHex(b);
}

Sha256Digest sha256(std::span<const std::uint8_t> bytes) {
  // Fetched once: EVP_sha256() would look the algorithm up in the provider at every digest.
  static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  Sha256Digest digest{};
  unsigned int length = 0;
  if (algorithm == nullptr || EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, algorithm, nullptr) != 1 ||
      length != digest.size()) {
    std::fputs("fatal: SHA-256 unavailable\n", stderr);
    std::abort();
  }
  return digest;
}

Sha256Digest sha256(std::string_view text) {
  return sha256(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

} // namespace pd::platform::crypto
