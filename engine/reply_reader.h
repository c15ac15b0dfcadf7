#ifndef LUMORET_ENGINE_REPLY_READER_H
#define LUMORET_ENGINE_REPLY_READER_H

#include <atomic>
#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <system_error>
#include <vector>

#include "engine/channel_table.h"
#include "engine/receive_path.h"
#include "platform/platform.h"

// Reads the engine's sockets in batches and hands every datagram to the receive path:
// a socket with a waiter as its datagrams arrive, the others when asked (at the
// schedule's wake-ups). A failed read is counted and tried again after a pause.
class ReplyReader {
 public:
  // What one turn of reading a socket left behind: an empty queue, datagrams that came
  // after the turn's bound, or a failure.
  enum class DrainResult { kEmpty, kMore, kFailed };
  // Reads a batch of datagrams as platform::ReceiveDatagrams does.
  using ReceiveFunction = int (*)(int socket, unsigned char* slots, std::size_t slot_size,
                                  platform::ReceivedDatagram* datagrams, int count,
                                  std::error_code& error);

  // Reads the sockets of channels into receive_path, on io_service's thread. Counts
  // failed waits and reads in receive_errors, the system's drops in kernel_drops; calls
  // after_read once a socket's datagrams are handled (they may have started pauses).
  // receive reads the batches.
  ReplyReader(boost::asio::io_service& io_service, ChannelTable& channels,
              ReceivePath& receive_path, std::atomic<std::uint32_t>& receive_errors,
              std::atomic<std::uint32_t>& kernel_drops, std::function<void()> after_read,
              ReceiveFunction receive = &platform::ReceiveDatagrams);
  ReplyReader(const ReplyReader&) = delete;
  ReplyReader& operator=(const ReplyReader&) = delete;

  // Waits until socket number channel has datagrams to read; nothing for a socket
  // without waiter.
  void StartReceive(std::size_t channel);
  // Reads what came by until on the sockets without waiter, and with due_waits on the
  // others too.
  void ReadQueued(bool due_waits, std::chrono::steady_clock::time_point until);

 private:
  // Bytes kept of each datagram: enough for the largest IPv4 header and the ICMP header
  // behind it, all that is decoded; the rest of a longer datagram is cut off.
  static constexpr std::size_t kSlotSize = 128;

  void HandleReceive(std::size_t channel, const boost::system::error_code& error);
  // Reads and handles everything queued on a socket that came by until.
  DrainResult DrainSocket(std::size_t channel, std::chrono::steady_clock::time_point until);
  // Adds what a socket dropped since its count was last told, latest now, to the total.
  void NoteDrops(SocketChannel& channel, std::uint32_t latest);

  boost::asio::io_service& io_service_;               // runs the waits and retries
  ChannelTable& channels_;                            // the sockets read
  ReceivePath& receive_path_;                         // handles every datagram read
  std::atomic<std::uint32_t>& receive_errors_;        // failed waits and reads
  std::atomic<std::uint32_t>& kernel_drops_;          // replies the system dropped
  const std::function<void()> after_read_;            // re-arms the schedule's timer
  const ReceiveFunction receive_;                     // reads a batch
  std::vector<unsigned char> reply_buffer_;           // kSlotSize bytes per datagram of a batch
  std::vector<platform::ReceivedDatagram> received_;  // what each slot holds
};

#endif  // LUMORET_ENGINE_REPLY_READER_H
