#ifndef LUMORET_ENGINE_NAME_RESOLVER_H
#define LUMORET_ENGINE_NAME_RESOLVER_H

#include <boost/asio/ip/icmp.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Looks up the hosts of a target list side by side, a bounded number at a time, so that
// start-up takes about as long as the slowest name rather than all of them together.
// Results keep the list's order. Look-ups run on threads of its own; the caller waits
// on it, watches its progress and may give up on the names still pending.
class NameResolver {
 public:
  using Address = boost::asio::ip::icmp::endpoint;
  // Looks up one host: its address (see ResolveFirst), or nothing when it does not resolve.
  // Runs on the look-up threads, several at once.
  using ResolveFunction = std::function<std::optional<Address>(const std::string& host)>;
  // How many look-ups run at once by default.
  static constexpr std::size_t kMaxParallel = 32;

  // Starts looking up every host.
  explicit NameResolver(std::vector<std::string> hosts, ResolveFunction resolve = ResolveFirst,
                        std::size_t parallel = kMaxParallel);
  // Waits for the look-ups under way, unless Cancel gave up on them.
  ~NameResolver();
  NameResolver(const NameResolver&) = delete;
  NameResolver& operator=(const NameResolver&) = delete;

  // The system's resolver: a literal's address, or a name's first IPv4 address, or its
  // first IPv6 address when it has no IPv4 one.
  static std::optional<Address> ResolveFirst(const std::string& host);
  // Whether host is an address literal (IPv4 or IPv6), which no later look-up can change.
  static bool IsLiteral(const std::string& host);

  // True once every host is settled (or Cancel was called); waits at most timeout.
  bool Wait(std::chrono::milliseconds timeout);
  // Hosts settled so far, and all of them.
  std::size_t done() const;
  std::size_t total() const;
  // The first host in list order still being looked up; empty when none is.
  std::string Pending() const;
  // Gives up on every host not settled yet: those stay unresolved. Returns at once;
  // look-ups under way finish on their own and are ignored.
  void Cancel();
  // One entry per host, in list order; empty for a host that did not resolve. Call
  // once Wait returned true.
  std::vector<std::optional<Address>> Results() const;

 private:
  struct State;
  static void Work(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;      // shared with the look-up threads
  std::vector<std::thread> threads_;  // joined, or detached by Cancel
};

#endif  // LUMORET_ENGINE_NAME_RESOLVER_H
