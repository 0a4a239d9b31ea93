#include "modem/kvol_mod.h"

#include <algorithm>
#include <string>
#include <vector>

#include "modem/kvol_source_codec.h"

namespace kvol {
namespace {

constexpr int kNotCoverable = 999;
constexpr int kReportWorkChars = 160;

struct Segment {
  int cost = kNotCoverable;
  int next = 0;
  CompactAtom atom;
};

int score(const CompactAtom& atom) { return atom.kind * 100 + atom.subkind * 2 + atom.flag; }

bool is_chunk(const CompactAtom& atom) { return atom.kind == kAtomTextChunk; }

std::vector<std::string_view> words_from(std::string_view text, std::size_t p, std::size_t most) {
  std::vector<std::string_view> words;
  while (words.size() < most && p < text.size()) {
    const std::size_t end = std::min(text.find(' ', p), text.size());
    if (end > p) words.push_back(text.substr(p, end - p));
    p = end + 1;
  }
  return words;
}

// Replaces "599" and a number after it by the report rendering, "599 5" becoming "599 005".
bool rewrite_reports(MessageField& message) {
  const std::vector<std::string_view> words = words_from(trimmed(message), 0, kMessageChars);
  std::string work;
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string word(words[i]);
    if (words[i] == "599" && i + 1 < words.size()) {
      if (const auto number = parse_number(words[i + 1])) {
        const auto rendered = atom_to_text(atom_number(1, 0, *number));
        word = std::string(trimmed(*rendered));
        ++i;
      }
    }
    if (!work.empty()) work += ' ';
    work += word;
    if (work.size() > kReportWorkChars) return false;
  }
  if (work.size() > kMessageChars) return false;
  message = to_field<kMessageChars>(work);
  return true;
}

// The candidate atom when it encodes, decodes and renders back to exactly the text at p, ending
// at a blank or the end of the text; the position after it (and its blank) goes to next.
bool round_trips(const CompactAtom& atom, std::string_view text, std::size_t p, int& next) {
  const auto frame = atom_to_frame(atom, false);
  if (!frame) return false;
  const auto decoded = frame_to_atom(*frame);
  if (!decoded) return false;
  const auto rendered = atom_to_text(decoded->atom);
  if (!rendered) return false;
  const std::string_view shown = trimmed(*rendered);
  const std::size_t n = shown.size();
  if (n == 0 || p + n > text.size() || text.substr(p, n) != shown) return false;
  if (p + n < text.size() && text[p + n] != ' ') return false;
  next = static_cast<int>(p + n == text.size() ? text.size() : p + n + 1);
  return true;
}

void offer(std::vector<Segment>& table, std::size_t p, const CompactAtom& atom, int next) {
  Segment& present = table[p];
  const int c = table[next].cost + 1;
  if (c > kMaxFrames || c > present.cost) return;
  if (c == present.cost) {
    if (!is_chunk(present.atom) && is_chunk(atom)) return;
    if (is_chunk(present.atom) == is_chunk(atom)) {
      if (next < present.next) return;
      if (next == present.next && score(present.atom) <= score(atom)) return;
    }
  }
  present = {c, next, atom};
}

bool has_letter(std::string_view word) {
  return std::any_of(word.begin(), word.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

void offer_word_candidates(std::vector<Segment>& table, std::string_view text, std::size_t p,
                           int mode) {
  const std::vector<std::string_view> words = words_from(text, p, 3);
  std::vector<CompactAtom> candidates;
  for (std::string_view word : words) {
    if (word.size() >= 14) continue;
    for (int subkind = 0; subkind <= 5; ++subkind) candidates.push_back(atom_call(subkind, word));
  }
  for (int index = 0; index < kWordCount; ++index) candidates.push_back(atom_word(index));

  const std::string_view first = words.front();
  if (const auto number = parse_number(first)) candidates.push_back(atom_number(0, 7, *number));
  if (first.size() == 4) candidates.push_back(atom_grid(0, first));
  if (first == "599" && words.size() > 1) {
    const std::string_view second = words[1];
    const auto number = parse_number(second);
    if (number) candidates.push_back(atom_number(1, 7, *number));
    if (second.size() == 4) candidates.push_back(atom_grid(1, second));
    if (mode == 2 && number) candidates.push_back(atom_number(1, 0, *number));
    if ((second.size() == 2 || second.size() == 3) && has_letter(second)) {
      candidates.push_back(atom_short_text(1, 3, second));
      if (mode == 2) candidates.push_back(atom_short_text(1, 0, second));
    }
  }
  if ((first.size() == 2 || first.size() == 3) && words.size() > 1) {
    if (const auto count = parse_number(first.substr(0, first.size() - 1))) {
      const std::string_view second = words[1];
      candidates.push_back(
          atom_class_section(*count, first.substr(first.size() - 1),
                             section_index(second, static_cast<int>(second.size()))));
    }
  }

  for (const CompactAtom& atom : candidates) {
    int next = 0;
    if (round_trips(atom, text, p, next)) offer(table, p, atom, next);
  }
}

}  // namespace

MessageField sanitize_text(const MessageField& text) {
  MessageField out = blank_field<kMessageChars>();
  std::size_t length = 0;
  for (char c : text) {
    if (c == '\0' || c == '~') c = ' ';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (alphabet_index(c) < 0) c = '#';
    if (c == ' ' && (length == 0 || out[length - 1] == ' ')) continue;
    out[length++] = c;
  }
  return out;
}

std::optional<std::int32_t> parse_number(std::string_view field) {
  if (field.empty() || field.size() > 6 ||
      !std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return {};
  }
  std::int32_t value = 0;
  for (char c : field) value = value * 10 + (c - '0');
  if (value >= 131072) return {};
  return value;
}

int pack_message_frames(MessageField& message, MessageFrames& frames, int mode) {
  message = sanitize_text(message);
  for (PayloadFrame& frame : frames) frame = blank_field<kPayloadBits>();
  if (mode < 0 || mode > 2) return -1;
  if (mode == 2 && !trimmed(message).empty() && !rewrite_reports(message)) return -1;

  const std::string_view text = trimmed(message);
  const std::size_t length = text.size();
  if (length == 0) return 0;

  std::vector<Segment> table(length + 1);
  table[length].cost = 0;
  for (std::size_t p = length; p-- > 0;) {
    const std::size_t end = std::min(p + 5, length);
    offer(table, p, atom_text5(text.substr(p, end - p), static_cast<int>(end - p)),
          static_cast<int>(end));
    if (p == 0 || text[p - 1] == ' ') offer_word_candidates(table, text, p, mode);
  }
  if (table[0].cost > kMaxFrames) return -1;

  std::vector<CompactAtom> atoms;
  for (std::size_t p = 0; p < length; p = static_cast<std::size_t>(table[p].next)) {
    atoms.push_back(table[p].atom);
  }
  const int count = atoms_to_frames(atoms, frames);
  return count > 0 ? count : -1;
}

UnpackedText unpack_frames(std::span<const PayloadFrame> frames) {
  UnpackedText result;
  if (frames.empty()) return result;
  result.allOk = frames.size() <= static_cast<std::size_t>(kMaxFrames);
  const std::size_t count = std::min(frames.size(), static_cast<std::size_t>(kMaxFrames));
  std::size_t position = 0;
  bool lastFlag = false;
  const auto write = [&](char c) {
    if (position < kMessageChars) result.text[position] = c;
    ++position;
  };
  for (std::size_t i = 0; i < count; ++i) {
    const auto decoded = frame_to_atom(frames[i]);
    const auto rendered = decoded ? atom_to_text(decoded->atom) : std::nullopt;
    if (!rendered) {
      result.allOk = false;
      lastFlag = false;
      continue;
    }
    if (is_chunk(decoded->atom)) {
      for (int k = 0; k < 5; ++k) {
        const char c = decoded->atom.text[k];
        write(c == ' ' ? '~' : c);
      }
      result.join = false;
    } else {
      for (char c : trimmed(*rendered)) write(c);
      ++position;
      result.join = true;
    }
    lastFlag = decoded->last;
  }
  result.final = result.allOk && lastFlag;
  return result;
}

}  // namespace kvol
