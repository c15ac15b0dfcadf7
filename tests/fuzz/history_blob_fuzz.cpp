// Any bytes as a block of each tier, as a database damaged or edited by hand would hold:
// decoding never reads past the blob, and what decodes encodes back to the same records.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/history_blob.h"

namespace {

void CheckSummaries(const std::uint8_t* data, std::size_t size, const HistoryBlob::Layout& layout) {
  std::vector<DelaySummary> records;
  if (!HistoryBlob::DecodeSummaries(data, size, layout, 0, records)) {
    return;
  }
  HistoryBlob::Bytes again;
  for (const DelaySummary& record : records) {
    if (record.lost > record.count) {
      __builtin_trap();
    }
    HistoryBlob::AppendSummary(
        again, layout, static_cast<std::uint32_t>(record.start_s / layout.period_s), record);
  }
  std::vector<DelaySummary> back;
  if (!HistoryBlob::DecodeSummaries(again.data(), again.size(), layout, 0, back) ||
      back.size() != records.size()) {
    __builtin_trap();
  }
  for (std::size_t i = 0; i < back.size(); ++i) {
    if (back[i].start_s != records[i].start_s || back[i].count != records[i].count ||
        back[i].lost != records[i].lost || back[i].median_ms != records[i].median_ms ||
        back[i].jitter_tenths != records[i].jitter_tenths) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<HistoryBlob::Probe> probes;
  if (HistoryBlob::DecodeProbes(data, size, probes) &&
      probes.size() * HistoryBlob::kProbeBytes != size) {
    __builtin_trap();
  }
  CheckSummaries(data, size, HistoryBlob::kMinutes);
  CheckSummaries(data, size, HistoryBlob::kHours);
  return 0;
}
