#ifndef LUMORET_ENGINE_DELAY_TIME_MGR_H
#define LUMORET_ENGINE_DELAY_TIME_MGR_H

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/icmp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/thread.hpp>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/delay_target.h"
#include "engine/icmp_header.h"
#include "engine/ipv4_header.h"
#include "engine/name_resolver.h"

// The engine: one raw ICMP socket shared by every target, one worker thread running
// every completion handler, and the receive path that hands each echo reply to its
// target.
class DelayTimeMgr {
 public:
  // Waits until the names are resolved, or gives up on some (NameResolver::Cancel),
  // while the caller shows how far resolving has come.
  using AwaitNames = std::function<void(NameResolver& names)>;

  // Opens the raw ICMP socket for the constructor, its receive buffer enlarged while the
  // process may still go past the system's cap: call before giving up rights. Throws
  // platform::RightsError.
  static int OpenRawSocket();

  // The one manager of the process, built by the first call around raw_socket and
  // await_names (as the constructor); later calls return it and ignore both. A failed
  // construction raises its error and is tried again on the next call.
  static DelayTimeMgr& GetInstance(int raw_socket, const AwaitNames& await_names = nullptr);

  // Takes over raw_socket, an open raw ICMP socket over IPv4, then reads (or creates)
  // config.ini in the working directory and resolves every target, through await_names
  // when given. Throws ConfigError for a target list that cannot be used.
  explicit DelayTimeMgr(int raw_socket, const AwaitNames& await_names = nullptr);
  // The same on a socket of its own; throws boost::system::system_error when the
  // process may not open one.
  DelayTimeMgr();
  ~DelayTimeMgr();
  DelayTimeMgr(const DelayTimeMgr&) = delete;
  DelayTimeMgr& operator=(const DelayTimeMgr&) = delete;

  // Launches the worker thread; false when it was started already.
  bool Start();
  // Stops the I/O service and joins the worker thread; nothing of the engine runs
  // once it returns.
  void Stop();
  // The text of the error that ended the worker thread, empty while there is none.
  // Safe to call from any thread.
  std::string LastError() const;

  std::vector<std::unique_ptr<DelayTarget>> targets;  // fixed after construction
  boost::asio::io_service io_service;
  boost::asio::ip::icmp::socket icmp_socket;
  boost::asio::streambuf reply_buffer;  // the datagram being received
  // Reads reply_buffer; made once, as building a stream costs more than decoding.
  std::istream reply_stream{&reply_buffer};
  bool running = false;  // GUI thread only
  std::unique_ptr<boost::thread> worker_thread;
  Ipv4Header reply_ipv4_header;
  IcmpHeader reply_icmp_header;
  // Restarts receiving after a failed receive, so a persistent error cannot spin.
  boost::asio::steady_timer receive_retry_timer;

  void Run();
  void StartReceive();
  void HandleReceive(const boost::system::error_code& error, std::size_t length);
  // Decodes the datagram committed to reply_buffer and hands a matching echo reply to
  // its target.
  void HandleDatagram();

 private:
  // Reads config.ini and creates the targets, their names resolved side by side.
  void LoadTargets(const AwaitNames& await_names);

  mutable std::mutex error_mutex_;
  std::string last_error_;
};

#endif  // LUMORET_ENGINE_DELAY_TIME_MGR_H
