#include "engine/name_resolver.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <condition_variable>
#include <mutex>

struct NameResolver::State {
  State(std::vector<std::string> hosts, ResolveFunction resolve)
      : hosts(std::move(hosts)),
        resolve(std::move(resolve)),
        results(this->hosts.size()),
        settled(this->hosts.size(), false) {}

  const std::vector<std::string> hosts;  // in list order
  const ResolveFunction resolve;         // called outside the lock
  mutable std::mutex mutex;              // guards everything below
  std::condition_variable changed;       // a host settled, or Cancel
  std::vector<std::optional<Address>> results;
  std::vector<bool> settled;  // per host: its look-up has ended
  std::size_t next = 0;       // the next host to look up
  std::size_t done = 0;       // settled hosts
  bool cancelled = false;

  bool Finished() const { return cancelled || done == hosts.size(); }
};

NameResolver::NameResolver(std::vector<std::string> hosts, ResolveFunction resolve,
                           std::size_t parallel)
    : state_(std::make_shared<State>(std::move(hosts), std::move(resolve))) {
  const std::size_t count = std::min(std::max<std::size_t>(parallel, 1), state_->hosts.size());
  threads_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    threads_.emplace_back(&NameResolver::Work, state_);
  }
}

NameResolver::~NameResolver() {
  for (std::thread& thread : threads_) {
    if (thread.joinable()) {
      thread.join();
    }
  }
}

bool NameResolver::IsLiteral(const std::string& host) {
  boost::system::error_code error;
  boost::asio::ip::make_address(host, error);
  return !error;
}

std::optional<NameResolver::Address> NameResolver::ResolveFirst(const std::string& host) {
  // An address literal needs no resolver: a list of thousands of them is read at once.
  boost::system::error_code error;
  const auto literal = boost::asio::ip::make_address_v4(host, error);
  if (!error) {
    return Address(literal, 0);
  }
  const auto literal6 = boost::asio::ip::make_address_v6(host, error);
  if (!error) {
    // ::ffff:a.b.c.d names an IPv4 host, which no ICMPv6 request can reach.
    if (literal6.is_v4_mapped()) {
      return Address(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, literal6), 0);
    }
    return Address(literal6, 0);
  }
  // Synchronous resolving needs no running service. No address-configured flag: with it
  // glibc refuses even 127.0.0.1 on a machine whose only IPv4 address is loopback. Both
  // families in one query, so that a name with no IPv4 address costs no second one.
  boost::asio::io_context context;
  boost::asio::ip::icmp::resolver resolver(context);
  const auto results = resolver.resolve(host, "", boost::asio::ip::resolver_base::flags(), error);
  if (error) {
    return std::nullopt;
  }
  std::optional<Address> first_v6;
  for (const auto& result : results) {
    if (result.endpoint().address().is_v4()) {
      return result.endpoint();
    }
    if (!first_v6) {
      first_v6 = result.endpoint();
    }
  }
  return first_v6;
}

void NameResolver::Work(const std::shared_ptr<State>& state) {
  std::unique_lock<std::mutex> lock(state->mutex);
  while (!state->cancelled && state->next < state->hosts.size()) {
    const std::size_t index = state->next++;
    lock.unlock();
    std::optional<Address> address = state->resolve(state->hosts[index]);
    lock.lock();
    if (state->cancelled) {
      break;
    }
    state->results[index] = address;
    state->settled[index] = true;
    ++state->done;
    state->changed.notify_all();
  }
}

bool NameResolver::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [this] { return state_->Finished(); });
}

std::size_t NameResolver::done() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->done;
}

std::size_t NameResolver::total() const {
  return state_->hosts.size();
}

std::string NameResolver::Pending() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  const std::size_t started = std::min(state_->next, state_->hosts.size());
  for (std::size_t i = 0; i < started; ++i) {
    if (!state_->settled[i]) {
      return state_->hosts[i];
    }
  }
  return started < state_->hosts.size() ? state_->hosts[started] : std::string();
}

void NameResolver::Cancel() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->cancelled = true;
    state_->changed.notify_all();
  }
  // A look-up cannot be interrupted; its thread keeps the shared state alive and
  // ends when the look-up does.
  for (std::thread& thread : threads_) {
    thread.detach();
  }
  threads_.clear();
}

std::vector<std::optional<NameResolver::Address>> NameResolver::Results() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->results;
}
