#include "modem/kvol_tbcc_list_decoder.h"

#include <array>
#include <cmath>
#include <limits>

#include "modem/kvol_fatal.h"

namespace kvol {
namespace {

// Each of these stops the program from more than one place.
constexpr const char* kPlanNotReady = "TBCC list decoder plan is not initialized";
constexpr const char* kWrongSetSize = "TBCC list decoder needs 4 x 46 correlations";

constexpr int kPlanCount = 3;
constexpr int kCoherentLengths[kPlanCount] = {1, 2, 4};
constexpr int kWidth = 4;
constexpr int kWraps = 2;
constexpr int kHypotheses = 4;
constexpr int kMaxPackedMemory = 11;            // start-state field of the survivor word
constexpr int kZeroPayloadBit = kAtomWordBits;  // frame character 33, always "0"
constexpr double kEmptyMetric = -std::numeric_limits<double>::max();

// The decoder's plans and workspaces, built on the first decode and kept for the process; only
// the receive thread decodes.
struct ListDecoderState {
  bool plans_ready = false;
  std::array<TbccPlan, kPlanCount> plans;
  std::array<TbccWorkspace, kPlanCount> workspaces;
  std::array<std::complex<float>, kCorrelationSetSize> set_b;  // set B as complex values
  std::array<TbccCandidate, kHypotheses> hypotheses;
} state;

int parity(unsigned x) { return __builtin_parity(x); }

bool is_valid(const TbccSurvivor& survivor) { return (survivor.word & kSurvivorValid) != 0; }

int start_state_of(std::uint64_t word) { return int((word >> kSurvivorStateShift) & 0x7FF); }

std::uint64_t reverse_path(std::uint64_t path) {
  std::uint64_t packed = 0;
  for (int i = 0; i < kCodedBits; ++i) {
    if ((path >> i) & 1) packed |= std::uint64_t{1} << (kCodedBits - 1 - i);
  }
  return packed;
}

void tbcc_check_plan_args(const CodeProfile& profile, int coherent_length, int width, int wraps,
                          int hypotheses) {
  if (!tbcc_profile_supported(profile)) {
    fatal("TBCC list decoder requires a supported code profile");
  }
  if (coherent_length != 1 && coherent_length != 2 && coherent_length != 4) {
    fatal("TBCC list decoder supports coherent lengths 1, 2, and 4");
  }
  if (width < 1 || width > 4) fatal("TBCC list decoder per-state width must be between 1 and 4");
  if (wraps < 1 || wraps > 2) fatal("TBCC list decoder supports one or two wraps");
  if (hypotheses < 1 || hypotheses > 4) {
    fatal("TBCC list decoder hypothesis count must be between 1 and 4");
  }
  if (profile.memory > kMaxPackedMemory) fatal("TBCC state does not fit packed survivor");
}

void tbcc_check_workspace(const TbccPlan& plan, const TbccWorkspace& workspace) {
  if (!plan.ready) fatal(kPlanNotReady);
  if (workspace.plan == nullptr) fatal("TBCC list decoder workspace is not initialized");
  if (workspace.plan != &plan ||
      workspace.branch_metrics.size() != std::size_t(plan.metric_count) ||
      workspace.current.size() != std::size_t(plan.states * plan.width)) {
    fatal("TBCC list decoder workspace does not match plan");
  }
}

// Metric of every symbol sequence of every segment: the coherent sum of the sequence's tone
// correlations, squared, per symbol.
bool tbcc_branch_metrics(const TbccPlan& plan, std::span<const std::complex<float>> set,
                         double* metrics) {
  bool finite = true;
  for (const TbccSegment& segment : plan.segments) {
    const int sequences = 1 << (2 * segment.symbols);
    double* out = metrics + segment.metric_offset;
    for (int v = 0; v < sequences; ++v) {
      std::complex<double> sum;
      for (int i = 0; i < segment.symbols; ++i) {
        const int tone = (v >> (2 * (segment.symbols - 1 - i))) & 3;
        sum += std::complex<double>(set[(segment.first_bit + i) * kToneCount + tone]);
      }
      out[v] = std::norm(sum) / segment.symbols;
      finite = finite && std::isfinite(out[v]);
    }
  }
  return finite;
}

void survivors_clear(std::vector<TbccSurvivor>& survivors) {
  for (TbccSurvivor& survivor : survivors) survivor = {kEmptyMetric, 0};
}

// Each survivor starts the next wrap afresh from the state it sits in.
void survivors_retag(std::vector<TbccSurvivor>& survivors, int states, int width) {
  for (int s = 0; s < states; ++s) {
    for (int i = 0; i < width; ++i) {
      TbccSurvivor& survivor = survivors[s * width + i];
      if (is_valid(survivor)) {
        survivor.word = (std::uint64_t(s) << kSurvivorStateShift) | kSurvivorValid;
      }
    }
  }
}

// Keeps the list sorted by metric, highest first, ties by the smaller word. Right after a
// retag a state's survivors share one word, so the first segment merges equal words.
inline void survivor_insert(TbccSurvivor* list, int width, double metric, std::uint64_t word,
                            bool merge_equal_words) {
  if (merge_equal_words) {
    for (int k = 0; k < width && is_valid(list[k]); ++k) {
      if (list[k].word != word) continue;
      if (!(metric > list[k].metric)) return;
      for (int q = k; q < width - 1; ++q) list[q] = list[q + 1];
      list[width - 1] = {kEmptyMetric, 0};
      break;
    }
  }
  int p = 0;
  while (p < width && is_valid(list[p]) &&
         !(metric > list[p].metric || (metric == list[p].metric && word < list[p].word))) {
    ++p;
  }
  if (p == width) return;
  for (int q = width - 1; q > p; --q) list[q] = list[q - 1];
  list[p] = {metric, word};
}

void tbcc_acs_segment(const TbccPlan& plan, const TbccSegment& segment, const double* metrics,
                      const TbccSurvivor* current, TbccSurvivor* next, bool prune,
                      bool merge_equal_words, bool finite) {
  const int width = plan.width;
  const int per_state = 1 << segment.symbols;
  const std::uint64_t pruned = prune ? segment.pruned_bits : 0;
  const double* segment_metrics = metrics + segment.metric_offset;
  const TbccTransition* table = plan.transitions_by_length[segment.symbols].data();
  for (int end = 0; end < plan.states; ++end) {
    TbccSurvivor* list = next + end * width;
    TbccSurvivor& last = list[width - 1];
    const TbccTransition* transitions = table + end * per_state;
    for (int t = 0; t < per_state; ++t) {
      const TbccTransition& transition = transitions[t];
      if (transition.bits & pruned) continue;
      const double branch = segment_metrics[transition.sequence];
      const std::uint64_t path_bits = std::uint64_t(transition.bits) << segment.first_bit;
      const TbccSurvivor* from = current + transition.start_state * width;
      for (int i = 0; i < width && is_valid(from[i]); ++i) {
        const double metric = from[i].metric + branch;
        if (is_valid(last) && last.metric > metric) {
          if (finite) break;  // the rest of this sorted list scores lower still
          continue;
        }
        survivor_insert(list, width, metric, from[i].word | path_bits, merge_equal_words);
      }
    }
  }
}

// The same selection when every metric is finite, which is always so for received audio. Each
// predecessor's list is sorted, and adding a branch metric and path bits keeps it sorted, so
// the first list into an end state is copied as it is and only the later ones are inserted.
// In the first segment of a wrap a predecessor's survivors share one word, so its head alone
// stands for them. The result equals the general routine's: the best W by metric, then word.
template <int W>
void tbcc_acs_segment_sorted(const TbccPlan& plan, const TbccSegment& segment,
                             const double* metrics, const TbccSurvivor* current, TbccSurvivor* next,
                             bool prune, bool merge_equal_words) {
  const int per_state = 1 << segment.symbols;
  const std::uint64_t pruned = prune ? segment.pruned_bits : 0;
  const double* segment_metrics = metrics + segment.metric_offset;
  const TbccTransition* table = plan.transitions_by_length[segment.symbols].data();
  const int take = merge_equal_words ? 1 : W;
  for (int end = 0; end < plan.states; ++end) {
    TbccSurvivor* list = next + end * W;
    int filled = 0;
    const TbccTransition* transitions = table + end * per_state;
    for (int t = 0; t < per_state; ++t) {
      const TbccTransition& transition = transitions[t];
      if (transition.bits & pruned) continue;
      const double branch = segment_metrics[transition.sequence];
      const std::uint64_t path_bits = std::uint64_t(transition.bits) << segment.first_bit;
      const TbccSurvivor* from = current + transition.start_state * W;
      if (filled == 0) {
        while (filled < take && is_valid(from[filled])) {
          list[filled] = {from[filled].metric + branch, from[filled].word | path_bits};
          ++filled;
        }
        continue;
      }
      for (int i = 0; i < take && is_valid(from[i]); ++i) {
        const double metric = from[i].metric + branch;
        if (filled == W && list[W - 1].metric > metric) break;
        const std::uint64_t word = from[i].word | path_bits;
        int p = filled;
        while (p > 0 && (metric > list[p - 1].metric ||
                         (metric == list[p - 1].metric && word < list[p - 1].word))) {
          --p;
        }
        if (p == W) continue;
        // A fixed-length shift: the compiler unrolls it instead of calling memmove.
        for (int q = W - 1; q > 0; --q) {
          if (q > p) list[q] = list[q - 1];
        }
        list[p] = {metric, word};
        if (filled < W) ++filled;
      }
    }
    for (int k = filled; k < W; ++k) list[k] = {kEmptyMetric, 0};
  }
}

// Metric of one closed path over a single circle, from the state its last bits leave.
double tbcc_score_path(const TbccPlan& plan, const double* metrics, const CodeWord& bits,
                       bool& closed) {
  const int m = plan.profile.memory;
  int start = 0;
  for (int k = kCodedBits - m; k < kCodedBits; ++k) start = (start << 1) | bits[k];
  int running = start;
  double total = 0.0;
  for (const TbccSegment& segment : plan.segments) {
    int sequence = 0;
    for (int i = 0; i < segment.symbols; ++i) {
      const int index = running * 2 + bits[segment.first_bit + i];
      sequence = sequence * 4 + plan.gray_symbol[index];
      running = plan.next_state[index];
    }
    total += metrics[segment.metric_offset + sequence];
  }
  closed = running == start;
  return total;
}

// Index of the candidate with this packed word, or of the empty slot where it belongs.
int candidate_lookup(const TbccWorkspace& workspace, std::uint64_t packed, bool& found) {
  const int size = int(workspace.hash_slots.size());
  int slot = int(packed % std::uint64_t(size));
  while (true) {
    const int index = workspace.hash_slots[slot];
    if (index < 0) {
      found = false;
      return slot;
    }
    if (workspace.candidates[index].packed_word == packed) {
      found = true;
      return slot;
    }
    slot = (slot + 1) % size;
  }
}

bool ranks_before(const TbccCandidate& a, const TbccCandidate& b) {
  if (a.clean_metric != b.clean_metric) return a.clean_metric > b.clean_metric;
  if (a.packed_word != b.packed_word) return a.packed_word < b.packed_word;
  if (a.start_state != b.start_state) return a.start_state < b.start_state;
  return a.list_metric > b.list_metric;
}

void merge_candidate_runs(const std::vector<TbccCandidate>& candidates, const std::int32_t* from,
                          std::int32_t* to, int begin, int middle, int end) {
  int left = begin;
  int right = middle;
  for (int k = begin; k < end; ++k) {
    if (left < middle &&
        (right >= end || !ranks_before(candidates[from[right]], candidates[from[left]]))) {
      to[k] = from[left++];
    } else {
      to[k] = from[right++];
    }
  }
}

// Bottom-up, stable merge sort of the candidate indices; the result ends in workspace.order.
void sort_candidates(TbccWorkspace& workspace) {
  const int count = workspace.candidate_count;
  std::int32_t* from = workspace.order.data();
  std::int32_t* to = workspace.order_scratch.data();
  for (int i = 0; i < count; ++i) from[i] = i;
  for (int run = 1; run < count; run *= 2) {
    for (int begin = 0; begin < count; begin += 2 * run) {
      const int middle = std::min(begin + run, count);
      const int end = std::min(begin + 2 * run, count);
      merge_candidate_runs(workspace.candidates, from, to, begin, middle, end);
    }
    std::swap(from, to);
  }
  if (from != workspace.order.data()) {
    std::copy(from, from + count, workspace.order.data());
  }
}

void collect_closed_paths(const TbccPlan& plan, TbccWorkspace& workspace) {
  std::fill(workspace.hash_slots.begin(), workspace.hash_slots.end(), -1);
  workspace.candidate_count = 0;
  for (int s = 0; s < plan.states; ++s) {
    for (int i = 0; i < plan.width; ++i) {
      const TbccSurvivor& survivor = workspace.current[s * plan.width + i];
      if (!is_valid(survivor) || start_state_of(survivor.word) != s) continue;
      const std::uint64_t path = survivor.word & kSurvivorPathMask;
      const std::uint64_t packed = reverse_path(path);
      bool found = false;
      const int slot = candidate_lookup(workspace, packed, found);
      if (found) {
        TbccCandidate& known = workspace.candidates[workspace.hash_slots[slot]];
        if (survivor.metric > known.list_metric ||
            (survivor.metric == known.list_metric && s < known.start_state)) {
          known.list_metric = survivor.metric;
          known.start_state = s;
        }
        continue;
      }
      TbccCandidate& candidate = workspace.candidates[workspace.candidate_count];
      for (int k = 0; k < kCodedBits; ++k) candidate.bits[k] = std::uint8_t((path >> k) & 1);
      candidate.packed_word = packed;
      candidate.start_state = s;
      candidate.list_metric = survivor.metric;
      bool closed = false;
      candidate.clean_metric =
          tbcc_score_path(plan, workspace.branch_metrics.data(), candidate.bits, closed);
      if (!closed) fatal("closed TBCC survivor failed clean scoring closure");
      candidate.crc_ok = crc12_check(candidate.bits);
      workspace.hash_slots[slot] = workspace.candidate_count++;
    }
  }
}

// The first returned candidate that passes the CRC and carries a payload that is not all zero.
bool tbcc_try_plan(const TbccPlan& plan, TbccWorkspace& workspace,
                   std::span<const std::complex<float>> set, PayloadBits& payload) {
  const int count = tbcc_list_decode(plan, workspace, set, state.hypotheses, true);
  for (int k = 0; k < count; ++k) {
    const TbccCandidate& candidate = state.hypotheses[k];
    if (!candidate.crc_ok) continue;
    bool any_set = false;
    for (int i = 0; i < kPayloadBits; ++i) any_set = any_set || candidate.bits[i] != 0;
    if (!any_set) continue;
    std::copy_n(candidate.bits.begin(), kPayloadBits, payload.begin());
    return true;
  }
  return false;
}

void tbcc_init_plans() {
  for (int p = 0; p < kPlanCount; ++p) {
    tbcc_plan_init(state.plans[p], kKvolCodeProfile, kCoherentLengths[p], kWidth, kWraps,
                   kHypotheses);
    tbcc_workspace_init(state.workspaces[p], state.plans[p]);
  }
  state.plans_ready = true;
}

bool tbcc_decode_attempts(std::span<const std::complex<float>> a,
                          std::span<const std::complex<float>> b, PayloadBits& payload,
                          TbccDiagnostics* diagnostics) {
  payload.fill(0);
  for (int p = 0; p < kPlanCount; ++p) {
    if (tbcc_try_plan(state.plans[p], state.workspaces[p], a, payload)) {
      if (diagnostics != nullptr) *diagnostics = {p + 1, false};
      return true;
    }
  }
  if (tbcc_try_plan(state.plans[0], state.workspaces[0], b, payload)) {
    if (diagnostics != nullptr) *diagnostics = {kPlanCount + 1, true};
    return true;
  }
  payload.fill(0);
  if (diagnostics != nullptr) *diagnostics = {};
  return false;
}

}  // namespace

bool crc12_check(std::span<const std::uint8_t> bits) { return crc12(bits) == 0; }

void tbcc_plan_init(TbccPlan& plan, const CodeProfile& profile, int coherent_length, int width,
                    int wraps, int hypotheses) {
  tbcc_check_plan_args(profile, coherent_length, width, wraps, hypotheses);
  plan = TbccPlan{};
  plan.profile = profile;
  plan.coherent_length = coherent_length;
  plan.width = width;
  plan.wraps = wraps;
  plan.hypotheses = hypotheses;
  plan.states = profile.states;

  plan.next_state.resize(std::size_t(plan.states) * 2);
  plan.gray_symbol.resize(std::size_t(plan.states) * 2);
  for (int s = 0; s < plan.states; ++s) {
    for (int bit = 0; bit < 2; ++bit) {
      const unsigned r = ((unsigned(s) << 1) | unsigned(bit)) & unsigned(profile.registerMask);
      const int c1 = parity(r & unsigned(profile.generator1));
      const int c2 = parity(r & unsigned(profile.generator2));
      plan.next_state[s * 2 + bit] = std::uint16_t(r & unsigned(profile.stateMask));
      plan.gray_symbol[s * 2 + bit] = std::uint8_t(2 * c1 + (c1 ^ c2));
    }
  }

  const int segment_count = (kCodedBits + coherent_length - 1) / coherent_length;
  plan.segments.resize(std::size_t(segment_count));
  int offset = 0;
  for (int g = 0; g < segment_count; ++g) {
    TbccSegment& segment = plan.segments[g];
    segment.first_bit = g * coherent_length;
    segment.symbols = std::min(coherent_length, kCodedBits - segment.first_bit);
    segment.metric_offset = offset;
    offset += 1 << (2 * segment.symbols);
    const int last = segment.first_bit + segment.symbols - 1;
    if (segment.first_bit <= kZeroPayloadBit && kZeroPayloadBit <= last) {
      segment.pruned_bits = std::uint64_t{1} << (kZeroPayloadBit - segment.first_bit);
    }
  }
  plan.metric_count = offset;

  for (const TbccSegment& segment : plan.segments) {
    std::vector<TbccTransition>& table = plan.transitions_by_length[segment.symbols];
    if (!table.empty()) continue;
    const int per_state = 1 << segment.symbols;
    table.resize(std::size_t(plan.states) * std::size_t(per_state));
    std::vector<int> filled(std::size_t(plan.states), 0);
    for (int s = 0; s < plan.states; ++s) {
      for (int bits = 0; bits < per_state; ++bits) {
        int running = s;
        int sequence = 0;
        for (int i = 0; i < segment.symbols; ++i) {
          const int index = running * 2 + ((bits >> i) & 1);
          sequence = sequence * 4 + plan.gray_symbol[index];
          running = plan.next_state[index];
        }
        table[std::size_t(running) * per_state + filled[running]++] = {
            std::uint16_t(s), std::uint8_t(sequence), std::uint8_t(bits)};
      }
    }
  }
  plan.ready = true;
}

void tbcc_workspace_init(TbccWorkspace& workspace, const TbccPlan& plan) {
  if (!plan.ready) fatal(kPlanNotReady);
  const int candidates = plan.width * plan.states;
  int table = 1;
  while (table < candidates) table *= 2;
  workspace = TbccWorkspace{};
  workspace.plan = &plan;
  workspace.branch_metrics.assign(std::size_t(plan.metric_count), 0.0);
  workspace.current.assign(std::size_t(candidates), {kEmptyMetric, 0});
  workspace.next.assign(std::size_t(candidates), {kEmptyMetric, 0});
  workspace.candidates.assign(std::size_t(candidates), {});
  workspace.hash_slots.assign(std::size_t(2 * table), -1);
  workspace.order.assign(std::size_t(candidates), 0);
  workspace.order_scratch.assign(std::size_t(candidates), 0);
}

int tbcc_list_decode(const TbccPlan& plan, TbccWorkspace& workspace,
                     std::span<const std::complex<float>> set, std::span<TbccCandidate> out,
                     bool prune, TbccReferenceReport* reference) {
  tbcc_check_workspace(plan, workspace);
  if (set.size() != std::size_t(kCorrelationSetSize)) {
    fatal(kWrongSetSize);
  }
  if (out.size() < std::size_t(plan.hypotheses)) {
    fatal("TBCC list decoder output storage is too small");
  }

  double* metrics = workspace.branch_metrics.data();
  const bool finite = tbcc_branch_metrics(plan, set, metrics);

  survivors_clear(workspace.current);
  for (int s = 0; s < plan.states; ++s) {
    workspace.current[s * plan.width] = {
        0.0, (std::uint64_t(s) << kSurvivorStateShift) | kSurvivorValid};
  }
  for (int wrap = 0; wrap < plan.wraps; ++wrap) {
    survivors_retag(workspace.current, plan.states, plan.width);
    for (std::size_t g = 0; g < plan.segments.size(); ++g) {
      const TbccSegment& segment = plan.segments[g];
      const TbccSurvivor* current = workspace.current.data();
      TbccSurvivor* next = workspace.next.data();
      const bool first = g == 0;
      if (!finite) {
        survivors_clear(workspace.next);
        tbcc_acs_segment(plan, segment, metrics, current, next, prune, first, finite);
      } else if (plan.width == 4) {
        tbcc_acs_segment_sorted<4>(plan, segment, metrics, current, next, prune, first);
      } else if (plan.width == 3) {
        tbcc_acs_segment_sorted<3>(plan, segment, metrics, current, next, prune, first);
      } else if (plan.width == 2) {
        tbcc_acs_segment_sorted<2>(plan, segment, metrics, current, next, prune, first);
      } else {
        tbcc_acs_segment_sorted<1>(plan, segment, metrics, current, next, prune, first);
      }
      workspace.current.swap(workspace.next);
    }
  }

  collect_closed_paths(plan, workspace);
  sort_candidates(workspace);

  const int returned = std::min(workspace.candidate_count, plan.hypotheses);
  for (int k = 0; k < returned; ++k) out[k] = workspace.candidates[workspace.order[k]];
  if (reference != nullptr) {
    reference->found = false;
    reference->rank = -1;
    for (int k = 0; k < returned; ++k) {
      if (out[k].packed_word == reference->packed_word) {
        reference->found = true;
        reference->rank = k;
        break;
      }
    }
  }
  return returned;
}

bool tbcc_decode_frame(std::span<const std::complex<float>> a, std::span<const float> b,
                       PayloadBits& payload, TbccDiagnostics* diagnostics) {
  if (a.size() != std::size_t(kCorrelationSetSize) ||
      b.size() != std::size_t(kCorrelationSetSize)) {
    fatal(kWrongSetSize);
  }
  if (!state.plans_ready) tbcc_init_plans();
  for (int i = 0; i < kCorrelationSetSize; ++i) state.set_b[i] = {b[i], 0.0f};
  return tbcc_decode_attempts(a, state.set_b, payload, diagnostics);
}

}  // namespace kvol
