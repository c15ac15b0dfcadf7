#ifndef LUMORET_ENGINE_DELAY_TIME_MGR_H
#define LUMORET_ENGINE_DELAY_TIME_MGR_H

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/icmp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/thread.hpp>
#include <istream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/delay_target.h"
#include "engine/icmp_header.h"
#include "engine/ipv4_header.h"

// The host texts of a target list, one per line that defines a target, in file order:
// the text before the first '#' or NUL, untrimmed; CR LF reads as LF; a line longer
// than 65,535 characters defines nothing and reading goes on with the next one.
std::vector<std::string> ReadTargetList(std::istream& in);

// The engine: one raw ICMP socket shared by every target, one worker thread running
// every completion handler, and the receive path that hands each echo reply to its
// target.
class DelayTimeMgr {
 public:
  // The one manager of the process, created on first use. A failed construction
  // raises boost::system::system_error and is tried again on the next call.
  static DelayTimeMgr& GetInstance();

  // Opens the socket, reads (or creates) config.ini in the working directory and
  // resolves every target. The program creates its one manager through GetInstance.
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

  // Called once the raw socket is open and before config.ini is touched; the program
  // sets it to give up the privileges the socket needed.
  static void (*on_socket_open)();

  std::vector<std::unique_ptr<DelayTarget>> targets;  // fixed after construction
  boost::asio::io_service io_service;
  boost::asio::ip::icmp::socket icmp_socket;
  boost::asio::ip::icmp::resolver resolver;
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
  mutable std::mutex error_mutex_;
  std::string last_error_;
};

#endif  // LUMORET_ENGINE_DELAY_TIME_MGR_H
