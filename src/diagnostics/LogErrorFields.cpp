#include "diagnostics/LogErrorFields.hpp"

#include "diagnostics/LogRing.hpp"
#include "platform/json/DecodingError.hpp"
#include "runtime/Error.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <system_error>
#include <typeinfo>

namespace pd::diagnostics {

namespace {

std::string demangledTypeName(const std::type_info& type) {
  int status = 0;
  const std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                         &std::free);
  return (status == 0 && name) ? std::string(name.get()) : std::string(type.name());
}

LogErrorFields::Fields describe(const std::exception& error) {
  using platform::json::DecodingError;
  if (const auto* decoding = dynamic_cast<const DecodingError*>(&error)) {
    const std::string_view word = DecodingError::caseWord(decoding->kind());
    return {"DecodingError." + std::string(word), 0, decoding->what(),
            word == "unknown" ? std::string("-") : DecodingError::joinedPath(decoding->codingPath())};
  }
  if (const auto* own = dynamic_cast<const Error*>(&error)) {
    return {own->domain(), own->code(), own->detail(), "-"};
  }
  if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
    const std::error_category& category = system->code().category();
    const bool posix = category == std::generic_category() || category == std::system_category();
    return {posix ? std::string("POSIX") : std::string(category.name()), system->code().value(), system->what(), "-"};
  }
  return {demangledTypeName(typeid(error)), 0, error.what(), "-"};
}

} // namespace

LogErrorFields::Fields LogErrorFields::fields(const std::exception& error, bool flushRing) {
  if (flushRing) LogRing::shared().requestErrorFlush();
  return describe(error);
}

LogErrorFields::Fields LogErrorFields::fields(const std::exception_ptr& error, bool flushRing) {
  if (flushRing) LogRing::shared().requestErrorFlush();
  if (!error) return {"-", 0, "", "-"};
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& caught) {
    return describe(caught);
  } catch (...) {
    return {"unknown", 0, "non-standard exception", "-"};
  }
}

} // namespace pd::diagnostics
