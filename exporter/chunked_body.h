#ifndef LUMORET_EXPORTER_CHUNKED_BODY_H
#define LUMORET_EXPORTER_CHUNKED_BODY_H

#include <zlib.h>

#include <array>
#include <cstddef>
#include <functional>
#include <streambuf>
#include <string>
#include <string_view>

// A response body written piece by piece and sent in chunks of bounded size, gzipped on
// the way when asked, so that a body is never held whole. Once a send fails (the client
// went away) the rest is dropped. Also a stream buffer, so that a serializer writes into
// it directly rather than through a string of a whole family.
class ChunkedBody : public std::streambuf {
 public:
  // Sends one chunk; false when the connection failed.
  using Send = std::function<bool(const char* data, std::size_t size)>;
  // Bytes gathered before a chunk is sent.
  static constexpr std::size_t kChunkSize = 64 * 1024;

  ChunkedBody(Send send, bool gzip);
  ~ChunkedBody();
  ChunkedBody(const ChunkedBody&) = delete;
  ChunkedBody& operator=(const ChunkedBody&) = delete;
  // Adds text to the body.
  void Write(std::string_view text);
  // Sends what is left (and the gzip trailer); true when every send succeeded.
  bool Finish();

 protected:
  // std::streambuf: the put area is full (or ch comes after it): hands it to Write.
  int_type overflow(int_type ch) override;
  // std::streambuf: hands the put area to Write.
  int sync() override;

 private:
  // Runs the compressor over input with flush, moving its output to pending_.
  void Deflate(std::string_view input, int flush);
  // Sends pending_ once it holds at least min_size bytes (0: whatever it holds).
  void SendPending(std::size_t min_size);

  Send send_;                             // where chunks go
  bool gzip_;                             // whether the body is compressed
  bool failed_ = false;                   // a send failed: nothing more is sent
  z_stream stream_{};                     // the compressor, when gzip_
  std::string pending_;                   // bytes not sent yet
  std::array<char, 16 * 1024> put_area_;  // what a stream writer put, not Written yet
};

#endif  // LUMORET_EXPORTER_CHUNKED_BODY_H
