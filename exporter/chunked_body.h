#ifndef LUMORET_EXPORTER_CHUNKED_BODY_H
#define LUMORET_EXPORTER_CHUNKED_BODY_H

#include <zlib.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// A response body written piece by piece and sent in chunks of bounded size, gzipped on
// the way when asked, so that a body is never held whole. Once a send fails (the client
// went away) the rest is dropped.
class ChunkedBody {
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

 private:
  // Runs the compressor over input with flush, moving its output to pending_.
  void Deflate(std::string_view input, int flush);
  // Sends pending_ once it holds at least min_size bytes (0: whatever it holds).
  void SendPending(std::size_t min_size);

  Send send_;            // where chunks go
  bool gzip_;            // whether the body is compressed
  bool failed_ = false;  // a send failed: nothing more is sent
  z_stream stream_{};    // the compressor, when gzip_
  std::string pending_;  // bytes not sent yet
};

#endif  // LUMORET_EXPORTER_CHUNKED_BODY_H
