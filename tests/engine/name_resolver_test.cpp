#include "engine/name_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

NameResolver::Address Loopback(unsigned last) {
  return NameResolver::Address(boost::asio::ip::address_v4(0x7F000000u + last), 0);
}

// Host "slow-N" takes its time, then resolves to 127.0.0.N; "bad-N" does not resolve.
std::optional<NameResolver::Address> Resolve(const std::string& host, milliseconds delay) {
  std::this_thread::sleep_for(delay);
  if (host.rfind("bad-", 0) == 0) {
    return std::nullopt;
  }
  return Loopback(static_cast<unsigned>(std::stoul(host.substr(host.find('-') + 1))));
}

TEST(NameResolver, SlowNamesResolveSideBySideInListOrder) {
  std::vector<std::string> hosts;
  for (int i = 1; i <= 20; ++i) {
    hosts.push_back((i % 7 == 0 ? "bad-" : "slow-") + std::to_string(i));
  }
  const auto start = Clock::now();
  NameResolver names(hosts, [](const std::string& host) { return Resolve(host, seconds(2)); });
  EXPECT_FALSE(names.Wait(milliseconds(500)));
  EXPECT_EQ(names.done(), 0u);
  EXPECT_EQ(names.Pending(), "slow-1");
  ASSERT_TRUE(names.Wait(seconds(30)));
  // One after another they would take 40 s.
  EXPECT_LT(Clock::now() - start, seconds(5));
  EXPECT_EQ(names.done(), 20u);
  EXPECT_EQ(names.Pending(), "");
  const auto results = names.Results();
  ASSERT_EQ(results.size(), 20u);
  for (unsigned i = 1; i <= 20; ++i) {
    EXPECT_EQ(results[i - 1], i % 7 == 0 ? std::nullopt : std::optional(Loopback(i))) << i;
  }
}

TEST(NameResolver, AtMostTheGivenNumberAtOnce) {
  auto running = std::make_shared<std::atomic<int>>(0);
  auto most = std::make_shared<std::atomic<int>>(0);
  NameResolver names(
      std::vector<std::string>(40, "slow-1"),
      [running, most](const std::string& host) {
        const int now = ++*running;
        for (int seen = *most; now > seen && !most->compare_exchange_weak(seen, now);) {
        }
        auto address = Resolve(host, milliseconds(20));
        --*running;
        return address;
      },
      4);
  ASSERT_TRUE(names.Wait(seconds(30)));
  EXPECT_EQ(*most, 4);
}

TEST(NameResolver, CancelLeavesPendingNamesUnresolvedAndReturnsAtOnce) {
  // A fast name first, then names that hang far longer than the test.
  NameResolver names(
      {"slow-1", "slow-2", "slow-3", "slow-4"},
      [](const std::string& host) {
        return Resolve(host, host == "slow-1" ? milliseconds(0) : seconds(60));
      },
      2);
  while (names.done() == 0) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_EQ(names.Pending(), "slow-2");
  const auto start = Clock::now();
  names.Cancel();
  EXPECT_TRUE(names.Wait(milliseconds(0)));
  const auto results = names.Results();
  EXPECT_LT(Clock::now() - start, seconds(1));
  EXPECT_EQ(results[0], Loopback(1));
  EXPECT_FALSE(results[1] || results[2] || results[3]);
}

// IPv6 literals are probed as such; a name with an IPv4 address keeps it (both the
// literals and /etc/hosts' localhost are settled without the network).
TEST(NameResolver, Ipv6LiteralsAndIpv4First) {
  const auto text = [](const std::string& host) {
    const auto address = NameResolver::ResolveFirst(host);
    return address ? address->address().to_string() : std::string("unresolved");
  };
  EXPECT_EQ(text("::1"), "::1");
  EXPECT_EQ(text("2001:db8::5"), "2001:db8::5");
  EXPECT_EQ(text("::ffff:198.18.0.1"), "198.18.0.1");
  EXPECT_EQ(text("localhost"), "127.0.0.1");
  EXPECT_EQ(text("2001:db8::5::1"), "unresolved");
}

}  // namespace
