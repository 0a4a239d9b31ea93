// List Viterbi decoder of the tail-biting convolutional code: recovers a frame's 34 payload bits
// from the per-symbol tone correlations. Receive side: capture thread, one call at a time (its
// plans and workspaces are process-wide and built on the first decode).
#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <vector>

#include "modem/kvol_constants.h"
#include "modem/kvol_tbcc_encoder.h"

namespace kvol {

// A correlation set: per data symbol, one value per tone, tone index first (tone + 4 * symbol).
inline constexpr int kCorrelationSetSize = kToneCount * kDataSymbols;

// Which attempt decoded the frame: 1 to 3 the coherent plans of length 1, 2 and 4 on set A,
// 4 the plan of length 1 on set B; 0 when none did.
struct TbccDiagnostics {
  int attempt = 0;
  bool used_set_b = false;
};

// Set A: the coherent correlations; set B: the half-symbol non-coherent magnitudes. Returns true
// with the payload when an attempt yields a candidate that passes the CRC and is not all zero;
// otherwise false with the payload cleared. Stops the program when a set is not 4 x 46.
bool tbcc_decode_frame(std::span<const std::complex<float>> a, std::span<const float> b,
                       PayloadBits& payload, TbccDiagnostics* diagnostics = nullptr);

// True when the CRC-12 register run over all 46 bits ends at 0.
bool crc12_check(std::span<const std::uint8_t> bits);

// ---- The search itself, for tests and measurement ----

// Survivor word layout: path bits 0..45, start state 46..56, valid flag 57.
inline constexpr int kSurvivorStateShift = 46;
inline constexpr std::uint64_t kSurvivorValid = std::uint64_t{1} << 57;
inline constexpr std::uint64_t kSurvivorPathMask = (std::uint64_t{1} << kCodedBits) - 1;

struct TbccTransition {
  std::uint16_t start_state;
  std::uint8_t sequence;  // branch-metric index within the segment: the symbols, first highest
  std::uint8_t bits;      // the segment's input bits, first in bit 0
};

struct TbccSegment {
  int first_bit = 0;              // 0-based input bit
  int symbols = 0;                // 1, 2 or 4 (the last segment may be shorter)
  int metric_offset = 0;          // first branch metric of the segment
  std::uint64_t pruned_bits = 0;  // transitions with any of these segment bits set are skipped
};

struct TbccPlan {
  CodeProfile profile{};
  int coherent_length = 0;  // L
  int width = 0;            // survivors per state, W
  int wraps = 0;
  int hypotheses = 0;  // H
  int states = 0;
  std::vector<TbccSegment> segments;
  int metric_count = 0;
  std::vector<std::uint16_t> next_state;  // [state * 2 + bit]
  std::vector<std::uint8_t> gray_symbol;  // [state * 2 + bit]
  // Every transition through a segment of n symbols, 2^n per end state, end state major; the
  // trellis does not change along the frame, so segments of one length share a table.
  std::vector<TbccTransition> transitions_by_length[5];
  bool ready = false;
};

struct TbccSurvivor {
  double metric;
  std::uint64_t word;
};

struct TbccCandidate {
  CodeWord bits{};                // u(1..46)
  std::uint64_t packed_word = 0;  // bit i of the path at bit 45 - i
  double clean_metric = 0.0;
  double list_metric = 0.0;
  int start_state = 0;
  bool crc_ok = false;
};

struct TbccWorkspace {
  const TbccPlan* plan = nullptr;
  std::vector<double> branch_metrics;
  std::vector<TbccSurvivor> current;  // W per state
  std::vector<TbccSurvivor> next;
  std::vector<TbccCandidate> candidates;
  int candidate_count = 0;
  std::vector<std::int32_t> hash_slots;  // candidate index, -1 empty
  std::vector<std::int32_t> order;       // sort index and its merge buffer
  std::vector<std::int32_t> order_scratch;
};

// Optional report on one known path: whether its packed word is among the returned candidates.
struct TbccReferenceReport {
  std::uint64_t packed_word = 0;
  bool found = false;
  int rank = -1;  // 0-based
};

// Builds the plan of coherent length 1, 2 or 4 for the supported profile (stops the program on
// anything else).
void tbcc_plan_init(TbccPlan& plan, const CodeProfile& profile, int coherent_length, int width,
                    int wraps, int hypotheses);
void tbcc_workspace_init(TbccWorkspace& workspace, const TbccPlan& plan);

// Runs the list search on one correlation set and writes up to min(out.size(), H) candidates
// in their sorted order; returns how many.
int tbcc_list_decode(const TbccPlan& plan, TbccWorkspace& workspace,
                     std::span<const std::complex<float>> set, std::span<TbccCandidate> out,
                     bool prune, TbccReferenceReport* reference = nullptr);

}  // namespace kvol
