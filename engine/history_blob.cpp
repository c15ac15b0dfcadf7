#include "engine/history_blob.h"

#include <algorithm>

const HistoryBlob::Layout HistoryBlob::kMinutes{6, 7, 13, 12, 9, 60, 60};
const HistoryBlob::Layout HistoryBlob::kHours{5, 12, 14, 18, 12, 3600, 24};

void HistoryBlob::PutBits(unsigned char* record, unsigned at, unsigned width, std::uint64_t value) {
  value = std::min(value, (std::uint64_t{1} << width) - 1);
  for (unsigned bit = 0; bit < width; ++bit, ++at) {
    if ((value >> bit & 1) != 0) {
      record[at / 8] |= static_cast<unsigned char>(1u << at % 8);
    }
  }
}

std::uint64_t HistoryBlob::GetBits(const unsigned char* record, unsigned at, unsigned width) {
  std::uint64_t value = 0;
  for (unsigned bit = 0; bit < width; ++bit, ++at) {
    value |= std::uint64_t{(record[at / 8] >> at % 8 & 1u)} << bit;
  }
  return value;
}

void HistoryBlob::AppendProbe(Bytes& block, const Probe& probe) {
  const std::uint32_t word = std::min<std::uint32_t>(probe.delay, kLostCode) |
                             std::min(probe.offset_ds, kProbeOffsets - 1) << 14;
  block.push_back(static_cast<unsigned char>(word));
  block.push_back(static_cast<unsigned char>(word >> 8));
  block.push_back(static_cast<unsigned char>(word >> 16));
}

bool HistoryBlob::DecodeProbes(const unsigned char* data, std::size_t size,
                               std::vector<Probe>& out) {
  if (size % kProbeBytes != 0) {
    return false;
  }
  const std::size_t first = out.size();
  for (std::size_t at = 0; at < size; at += kProbeBytes) {
    const std::uint32_t word = data[at] | data[at + 1] << 8 | std::uint32_t{data[at + 2]} << 16;
    if (word >> 14 >= kProbeOffsets) {
      out.resize(first);
      return false;
    }
    out.push_back({word >> 14, static_cast<std::uint16_t>(word & kLostCode)});
  }
  return true;
}

void HistoryBlob::AppendSummary(Bytes& block, const Layout& layout, std::uint32_t index,
                                const DelaySummary& summary) {
  const std::size_t at = block.size();
  block.resize(at + layout.bytes, 0);
  unsigned char* record = block.data() + at;
  unsigned bit = 0;
  const auto put = [&](unsigned width, std::uint64_t value) {
    PutBits(record, bit, width, value);
    bit += width;
  };
  put(layout.index_bits, index);
  put(layout.count_bits, summary.count);
  // Cut like count, so that lost never reads back above it.
  put(layout.count_bits, std::min(summary.lost, summary.count));
  put(layout.delay_bits, summary.min_ms);
  put(layout.delay_bits, summary.median_ms);
  put(layout.delay_bits, summary.max_ms);
  put(layout.jitter_bits, summary.jitter_tenths);
}

bool HistoryBlob::DecodeSummaries(const unsigned char* data, std::size_t size, const Layout& layout,
                                  std::int64_t block_start_s, std::vector<DelaySummary>& out) {
  if (size % layout.bytes != 0) {
    return false;
  }
  const std::size_t first = out.size();
  for (std::size_t at = 0; at < size; at += layout.bytes) {
    const unsigned char* record = data + at;
    unsigned bit = 0;
    const auto get = [&](unsigned width) {
      const std::uint64_t value = GetBits(record, bit, width);
      bit += width;
      return static_cast<std::uint32_t>(value);
    };
    const std::uint32_t index = get(layout.index_bits);
    DelaySummary summary;
    summary.start_s = block_start_s + index * layout.period_s;
    summary.count = get(layout.count_bits);
    summary.lost = get(layout.count_bits);
    summary.min_ms = get(layout.delay_bits);
    summary.median_ms = get(layout.delay_bits);
    summary.max_ms = get(layout.delay_bits);
    summary.jitter_tenths = get(layout.jitter_bits);
    if (index >= layout.periods || summary.lost > summary.count) {
      out.resize(first);
      return false;
    }
    out.push_back(summary);
  }
  return true;
}
