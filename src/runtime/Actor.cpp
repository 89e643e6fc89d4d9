// See Task.cpp: GCC 12 reports a false null dereference when a strand is type-erased.
#pragma GCC diagnostic ignored "-Wnull-dereference"

#include "runtime/Actor.hpp"

#include "runtime/ThreadPools.hpp"

#include <boost/asio/strand.hpp>

namespace pd::runtime {

Actor::Actor() : Actor(sharedPool().executor()) {}

Actor::Actor(const boost::asio::any_io_executor& base)
    : strand_(boost::asio::make_strand(boost::asio::prefer(base, boost::asio::execution::outstanding_work.untracked))) {
}

bool Actor::isCurrent() const noexcept {
  const auto* strand = strand_.target<boost::asio::strand<boost::asio::any_io_executor>>();
  return strand != nullptr && strand->running_in_this_thread();
}

} // namespace pd::runtime
