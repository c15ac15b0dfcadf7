#include "exporter/chunked_body.h"

#include <new>
#include <utility>

namespace {

// deflate's window bits plus 16: a gzip header and trailer rather than zlib's.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemoryLevel = 8;  // zlib's default
// Fast and still about a tenth of the text: a scrape's time matters more than its bytes.
constexpr int kCompressionLevel = 1;

}  // namespace

ChunkedBody::ChunkedBody(Send send, bool gzip) : send_(std::move(send)), gzip_(gzip) {
  pending_.reserve(kChunkSize * 2);
  if (gzip_ && deflateInit2(&stream_, kCompressionLevel, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                            Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::bad_alloc();
  }
}

ChunkedBody::~ChunkedBody() {
  if (gzip_) {
    deflateEnd(&stream_);
  }
}

void ChunkedBody::Write(std::string_view text) {
  if (failed_ || text.empty()) {
    return;
  }
  if (gzip_) {
    Deflate(text, Z_NO_FLUSH);
  } else {
    pending_.append(text);
  }
  SendPending(kChunkSize);
}

bool ChunkedBody::Finish() {
  if (gzip_ && !failed_) {
    Deflate({}, Z_FINISH);
  }
  SendPending(0);
  return !failed_;
}

void ChunkedBody::Deflate(std::string_view input, int flush) {
  stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream_.avail_in = static_cast<uInt>(input.size());
  char out[16 * 1024];
  int status = Z_OK;
  do {
    stream_.next_out = reinterpret_cast<Bytef*>(out);
    stream_.avail_out = sizeof out;
    status = deflate(&stream_, flush);
    pending_.append(out, sizeof out - stream_.avail_out);
    SendPending(kChunkSize);
  } while (stream_.avail_out == 0 || (flush == Z_FINISH && status == Z_OK));
}

void ChunkedBody::SendPending(std::size_t min_size) {
  if (failed_ || pending_.empty() || pending_.size() < min_size) {
    return;
  }
  failed_ = !send_(pending_.data(), pending_.size());
  pending_.clear();
}
