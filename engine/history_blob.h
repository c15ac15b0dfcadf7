#ifndef LUMORET_ENGINE_HISTORY_BLOB_H
#define LUMORET_ENGINE_HISTORY_BLOB_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/history_rollup.h"

// The packed blocks the history store keeps: one row per host and period holds the
// records of that period in a blob, little-endian bit fields, lowest bit first. The
// README's schema section documents the same layouts for users of sqlite3.
class HistoryBlob {
 public:
  using Bytes = std::vector<unsigned char>;

  // One probe of a block of full detail (a minute): 3 bytes, the delay code (delay in ms,
  // or kLostCode) in bits 0-13, the time it left in tenths of a second after the
  // minute's start in bits 14-23.
  struct Probe {
    std::uint32_t offset_ds = 0;  // tenths of a second into the minute, 0 to 599
    std::uint16_t delay = 0;      // ms, or kLostCode
  };
  static constexpr std::size_t kProbeBytes = 3;
  // Tenths of a second in a probe block's minute.
  static constexpr std::uint32_t kProbeOffsets = 600;

  // The shape of a summary record: which field takes how many bits. Values too large
  // for their field are kept as its largest value.
  struct Layout {
    unsigned index_bits;    // the period's number within the block (minute of the hour...)
    unsigned count_bits;    // count, and lost
    unsigned delay_bits;    // min, median and max, in ms
    unsigned jitter_bits;   // jitter, in tenths of ms
    unsigned bytes;         // the record's size, the bits above the fields zero
    std::int64_t period_s;  // seconds per period
    std::uint32_t periods;  // periods per block
  };
  // A minute's summary in an hour's block: index 6, count 7, lost 7, min, median and max
  // 13 each (the engine keeps no delay past 8,190 ms), jitter 12 (up to 409.5 ms): 71
  // bits in 9 bytes, so that 10,000 hosts' minutes take under 150 MiB a day.
  static const Layout kMinutes;
  // An hour's summary in a day's block: index 5, count 12, lost 12, 3 x 14, jitter 18:
  // 89 bits in 12 bytes.
  static const Layout kHours;

  static void AppendProbe(Bytes& block, const Probe& probe);
  // The probes of a block, appended to out; false (nothing appended) when the blob is
  // not a whole number of records or names a time past the minute.
  static bool DecodeProbes(const unsigned char* data, std::size_t size, std::vector<Probe>& out);

  // Appends summary, the period number index of its block, in layout.
  static void AppendSummary(Bytes& block, const Layout& layout, std::uint32_t index,
                            const DelaySummary& summary);
  // The records of a block that starts at block_start_s, each with its start_s; false
  // (nothing appended) when the blob is not whole records, names a period past the
  // block, or counts more lost probes than probes.
  static bool DecodeSummaries(const unsigned char* data, std::size_t size, const Layout& layout,
                              std::int64_t block_start_s, std::vector<DelaySummary>& out);

 private:
  // Writes value, cut to its largest, into bits [at, at + width) of record.
  static void PutBits(unsigned char* record, unsigned at, unsigned width, std::uint64_t value);
  static std::uint64_t GetBits(const unsigned char* record, unsigned at, unsigned width);
};

#endif  // LUMORET_ENGINE_HISTORY_BLOB_H
