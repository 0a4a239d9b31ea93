#include "modem/kvol_source_codec.h"

#include <algorithm>
#include <string>

#include "modem/pack77.h"

namespace kvol {
namespace {

constexpr std::string_view kAlphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ +-./?!\"#$%,&*()_'=[]{}<>|:;";
static_assert(kAlphabet.size() == kAlphabetSize);
constexpr std::string_view kBase36 = kDigitsAndLetters;

constexpr std::array<std::string_view, kWordCount> kWords = {
    "AGN?",  "CALL?", "AGN CALL", "NR?", "AGN NR", "EXCH?",  "STATE?", "SECTION?", "ZONE?",
    "GRID?", "RPRT?", "QSL TU",   "TU",  "QRZ?",   "QSO B4", "WAIT",   "NIL?",     "OK?"};

constexpr std::array<std::string_view, kSectionCount> kSections = {
    "AB",  "AK",  "AL",  "AR",  "AZ",  "BC",  "CO", "CT",  "DE", "EB",  "EMA", "ENY", "EPA",
    "EWA", "GA",  "GH",  "IA",  "ID",  "IL",  "IN", "KS",  "KY", "LA",  "LAX", "NS",  "MB",
    "MDC", "ME",  "MI",  "MN",  "MO",  "MS",  "MT", "NC",  "ND", "NE",  "NFL", "NH",  "NL",
    "NLI", "NM",  "NNJ", "NNY", "TER", "NTX", "NV", "OH",  "OK", "ONE", "ONN", "ONS", "OR",
    "ORG", "PAC", "PR",  "QC",  "RI",  "SB",  "SC", "SCV", "SD", "SDG", "SF",  "SFL", "SJV",
    "SK",  "SNJ", "STX", "SV",  "TN",  "UT",  "VA", "VI",  "VT", "WCF", "WI",  "WMA", "WNY",
    "WPA", "WTX", "WV",  "WWA", "WY",  "DX",  "PE", "NB"};

constexpr std::uint32_t kFamilyMask = 0b11;
constexpr std::uint32_t kFamilyTextChunk = 0b11;
constexpr std::uint32_t kFamilyCallLow = 0b00;
constexpr std::uint32_t kFamilyCallHigh = 0b01;
constexpr std::uint32_t kLowFiveMask = 0b11111;
constexpr std::uint32_t kTagNumber = 0b00010;
constexpr std::uint32_t kTagShortText = 0b00110;
constexpr std::uint32_t kTagExchange = 0b01010;
constexpr std::uint32_t kTagTimedNumber = 0b01110;
constexpr std::uint32_t kTagWordOrGrid = 0b10010;
constexpr std::int32_t kMaxNumber = 131071;
constexpr std::int32_t kMaxGridIndex = 32399;

// Bits hi..lo of a word.
std::uint32_t bits(std::uint32_t word, int hi, int lo) {
  return (word >> lo) & ((std::uint32_t{1} << (hi - lo + 1)) - 1);
}

std::uint32_t put(std::uint32_t value, int lo) { return value << lo; }

std::string with_digits(std::int32_t value, int atLeast) {
  std::string text = std::to_string(value);
  if (static_cast<int>(text.size()) < atLeast) text.insert(0, atLeast - text.size(), '0');
  return text;
}

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

int power36(int length) { return length == 2 ? 36 * 36 : 36 * 36 * 36; }

std::string base36_text(std::uint32_t value, int length) {
  std::string text(length, '0');
  for (int i = length - 1; i >= 0; --i, value /= 36) text[i] = kBase36[value % 36];
  return text;
}

bool number_in_range(std::int32_t subkind, std::int32_t value) {
  switch (subkind) {
    case 1:
      return value >= 1 && value <= 40;
    case 2:
      return value >= 1 && value <= 90;
    case 6:
      return value >= 0 && value <= 9999;
    default:
      return subkind >= 0 && subkind <= 7 && value >= 0 && value <= kMaxNumber;
  }
}

bool flag_ok(std::int32_t flag) { return flag == 0 || flag == 1; }

std::optional<std::uint32_t> atom_word_of(const CompactAtom& atom) {
  switch (atom.kind) {
    case kAtomCall: {
      if (atom.subkind < 0 || atom.subkind > 5 || !is_packable_call(atom.text)) return {};
      const std::int32_t token = call_to_n28_remember(atom.text);
      if (n28_to_call_default(token).text != atom.text) return {};
      // Unsigned: a token near 2^28 times 16 does not fit a signed 32-bit word.
      return put(static_cast<std::uint32_t>(token), 4) |
             put(static_cast<std::uint32_t>(atom.subkind % 4), 2) |
             (atom.subkind >= 4 ? kFamilyCallHigh : kFamilyCallLow);
    }
    case kAtomNumber:
      if (!flag_ok(atom.flag) || !number_in_range(atom.subkind, atom.value)) return {};
      return put(atom.flag, 31) | put(atom.subkind, 27) | put(atom.value, 10) | kTagNumber;
    case kAtomShortText: {
      const std::string_view text = trim(view(atom.text));
      const auto value = base36_to_int(text);
      if (!flag_ok(atom.flag) || atom.subkind < 0 || atom.subkind > 4 || !value) return {};
      return put(atom.flag, 31) | put(atom.subkind, 27) | put(text.size() - 2, 26) |
             put(*value, 10) | kTagShortText;
    }
    case kAtomExchange: {
      if (atom.subkind == 0) {
        const std::string_view text = trim(view(atom.text));
        const auto value = base36_to_int(text);
        if (atom.value < 1 || atom.value > 40 || !value) return {};
        return put(atom.value, 23) | put(text.size() - 2, 22) | put(*value, 6) | kTagExchange;
      }
      const std::string_view letter = trim(view(atom.text));
      if (atom.subkind != 1 || atom.value < 1 || atom.value > 32 || atom.value2 < 1 ||
          atom.value2 > kSectionCount || letter.size() != 1 || letter[0] < 'A' || letter[0] > 'F') {
        return {};
      }
      return put(1, 29) | put(atom.value, 23) | put(letter[0] - 'A', 20) | put(atom.value2, 13) |
             kTagExchange;
    }
    case kAtomTimedNumber:
      if (!flag_ok(atom.flag) || atom.value < 0 || atom.value > 16383 || atom.value2 < 0 ||
          atom.value2 > 1439) {
        return {};
      }
      return put(atom.flag, 31) | put(atom.value, 17) | put(atom.value2, 6) | kTagTimedNumber;
    case kAtomWord:
      if (atom.subkind < 0 || atom.subkind >= kWordCount) return {};
      return put(atom.subkind, 21) | kTagWordOrGrid;
    case kAtomGrid: {
      const auto index = grid_to_index(view(atom.text));
      if (!flag_ok(atom.flag) || !index) return {};
      return put(1, 28) | put(atom.flag, 27) | put(*index, 12) | kTagWordOrGrid;
    }
    case kAtomTextChunk: {
      std::uint32_t value = 0;
      for (int i = 0; i < 5; ++i) {
        const int code = alphabet_index(atom.text[i]);
        if (code < 0) return {};
        value = value * kAlphabetSize + static_cast<std::uint32_t>(code);
      }
      return put(value, 2) | kFamilyTextChunk;
    }
    default:
      return {};
  }
}

std::optional<CompactAtom> atom_of_word(std::uint32_t word) {
  CompactAtom atom;
  const std::uint32_t family = word & kFamilyMask;
  if (family == kFamilyTextChunk) {
    atom.kind = kAtomTextChunk;
    for (int i = 0; i < 5; ++i) atom.text[i] = alphabet_char(bits(word, 31 - 6 * i, 26 - 6 * i));
    return atom;
  }
  if (family == kFamilyCallLow || family == kFamilyCallHigh) {
    const std::uint32_t s = bits(word, 3, 2);
    if (family == kFamilyCallHigh && s > 1) return {};
    const UnpackedCall call = n28_to_call_default(static_cast<std::int32_t>(bits(word, 31, 4)));
    if (!call.ok || !is_packable_call(call.text)) return {};
    atom.kind = kAtomCall;
    atom.subkind = static_cast<std::int32_t>(family == kFamilyCallHigh ? s + 4 : s);
    atom.text = call.text;
    return atom;
  }
  switch (word & kLowFiveMask) {
    case kTagNumber: {
      if (bits(word, 30, 30) != 0 || bits(word, 9, 5) != 0) return {};
      const auto subkind = static_cast<std::int32_t>(bits(word, 29, 27));
      const auto value = static_cast<std::int32_t>(bits(word, 26, 10));
      if (!number_in_range(subkind, value)) return {};
      return atom_number(static_cast<std::int32_t>(bits(word, 31, 31)), subkind, value);
    }
    case kTagShortText: {
      if (bits(word, 9, 5) != 0) return {};
      const auto subkind = static_cast<std::int32_t>(bits(word, 30, 27));
      const int length = static_cast<int>(bits(word, 26, 26)) + 2;
      const std::uint32_t value = bits(word, 25, 10);
      if (subkind > 4 || value >= static_cast<std::uint32_t>(power36(length)) ||
          (length == 3 && value < 1296)) {
        return {};
      }
      return atom_short_text(static_cast<std::int32_t>(bits(word, 31, 31)), subkind,
                             base36_text(value, length));
    }
    case kTagExchange: {
      if (bits(word, 5, 5) != 0) return {};
      const std::uint32_t subkind = bits(word, 31, 29);
      const auto value = static_cast<std::int32_t>(bits(word, 28, 23));
      if (subkind == 0) {
        const int length = static_cast<int>(bits(word, 22, 22)) + 2;
        const std::uint32_t text = bits(word, 21, 6);
        if (value < 1 || value > 40 || text >= static_cast<std::uint32_t>(power36(length)) ||
            (length == 3 && text < 1296)) {
          return {};
        }
        atom.kind = kAtomExchange;
        atom.value = value;
        atom.text = to_field<kFieldChars>(base36_text(text, length));
        return atom;
      }
      const std::uint32_t letter = bits(word, 22, 20);
      const auto section = static_cast<std::int32_t>(bits(word, 19, 13));
      if (subkind != 1 || value < 1 || value > 32 || letter > 5 || section < 1 ||
          section > kSectionCount || bits(word, 12, 6) != 0) {
        return {};
      }
      return atom_class_section(value, std::string(1, static_cast<char>('A' + letter)), section);
    }
    case kTagTimedNumber: {
      if (bits(word, 5, 5) != 0) return {};
      const auto minutes = static_cast<std::int32_t>(bits(word, 16, 6));
      if (minutes > 1439) return {};
      atom.kind = kAtomTimedNumber;
      atom.flag = static_cast<std::int32_t>(bits(word, 31, 31));
      atom.value = static_cast<std::int32_t>(bits(word, 30, 17));
      atom.value2 = minutes;
      return atom;
    }
    case kTagWordOrGrid: {
      const std::uint32_t which = bits(word, 31, 28);
      if (which == 0) {
        const auto index = static_cast<std::int32_t>(bits(word, 27, 21));
        if (index >= kWordCount || bits(word, 20, 5) != 0) return {};
        return atom_word(index);
      }
      const auto index = static_cast<std::int32_t>(bits(word, 26, 12));
      if (which != 1 || index > kMaxGridIndex || bits(word, 11, 5) != 0) return {};
      return atom_grid(static_cast<std::int32_t>(bits(word, 27, 27)),
                       trimmed(grid_from_index(index)));
    }
    default:
      return {};
  }
}

}  // namespace

char alphabet_char(int code) { return code >= 0 && code < kAlphabetSize ? kAlphabet[code] : ' '; }

int alphabet_index(char c) {
  const std::size_t at = kAlphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

Field<kFieldChars> grid_from_index(std::int32_t index) {
  if (index < 0 || index > kMaxGridIndex) return blank_field<kFieldChars>();
  const char text[] = {
      static_cast<char>('A' + index / 1800), static_cast<char>('A' + index / 100 % 18),
      static_cast<char>('0' + index / 10 % 10), static_cast<char>('0' + index % 10)};
  return to_field<kFieldChars>(std::string_view(text, 4));
}

std::optional<std::int32_t> grid_to_index(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.size() != 4) return {};
  const auto letter = [](char c) { return c >= 'A' && c <= 'R'; };
  if (!letter(text[0]) || !letter(text[1]) || !is_digit(text[2]) || !is_digit(text[3])) return {};
  return (((text[0] - 'A') * 18 + (text[1] - 'A')) * 10 + (text[2] - '0')) * 10 + (text[3] - '0');
}

std::optional<std::int32_t> base36_to_int(std::string_view text) {
  if (text.size() != 2 && text.size() != 3) return {};
  std::int32_t value = 0;
  for (char c : text) {
    const std::size_t digit = kBase36.find(c);
    if (digit == std::string_view::npos) return {};
    value = value * 36 + static_cast<std::int32_t>(digit);
  }
  if (text.size() == 3 && value < 1296) return {};
  return value;
}

int section_index(std::string_view text, int length) {
  if (length < 3) return -1;
  const Field<3> key = to_field<3>(text);
  for (int i = 0; i < kSectionCount; ++i) {
    if (to_field<3>(kSections[i]) == key) return i + 1;
  }
  return -1;
}

CompactAtom atom_call(std::int32_t subkind, std::string_view call) {
  return {kAtomCall, subkind, 0, 0, 0, to_field<kFieldChars>(call)};
}

CompactAtom atom_number(std::int32_t flag, std::int32_t subkind, std::int32_t value) {
  return {kAtomNumber, subkind, flag, value, 0, blank_field<kFieldChars>()};
}

CompactAtom atom_short_text(std::int32_t flag, std::int32_t subkind, std::string_view text) {
  return {kAtomShortText, subkind, flag, 0, 0, to_field<kFieldChars>(text)};
}

CompactAtom atom_class_section(std::int32_t count, std::string_view classLetter,
                               std::int32_t section) {
  return {kAtomExchange, 1, 0, count, section, to_field<kFieldChars>(classLetter)};
}

CompactAtom atom_word(std::int32_t index) {
  return {kAtomWord, index, 0, 0, 0, blank_field<kFieldChars>()};
}

CompactAtom atom_grid(std::int32_t flag, std::string_view text) {
  return {kAtomGrid, 0, flag, 0, 0, to_field<kFieldChars>(text)};
}

CompactAtom atom_text5(std::string_view text, int length) {
  const auto n = static_cast<std::size_t>(std::clamp(length, 0, 5));
  return {
      kAtomTextChunk, 0, 0, 0, 0, to_field<kFieldChars>(text.substr(0, std::min(n, text.size())))};
}

bool is_packable_call(const CallField& text) {
  if (!check_callsign(text).ok) return false;
  const std::string_view call = trimmed(text);
  if (call.empty() || call[0] == 'Q' || call.find('/') != std::string_view::npos) return false;
  if (!std::all_of(call.begin(), call.end(),
                   [](char c) { return (c >= 'A' && c <= 'Z') || is_digit(c); })) {
    return false;
  }
  return n28_to_call_default(call_to_n28_remember(text)).text == text;
}

Field<16> format_atom_number(std::int32_t subkind, std::int32_t value) {
  switch (subkind) {
    case 0:
      return to_field<16>(with_digits(value, 3));
    case 1:
    case 2:
    case 5:
      return to_field<16>(with_digits(value, 2));
    case 6:
      return to_field<16>(with_digits(value, 4));
    default:
      return to_field<16>(std::to_string(value));
  }
}

MessageField prefix_report(std::int32_t flag, std::string_view text) {
  return to_field<kMessageChars>(flag == 1 ? "599 " + std::string(text) : std::string(text));
}

std::optional<MessageField> atom_to_text(const CompactAtom& atom) {
  if (!flag_ok(atom.flag)) return {};
  const std::string call(trim(view(atom.text)));
  switch (atom.kind) {
    case kAtomCall:
      switch (atom.subkind) {
        case 0:
          return to_field<kMessageChars>("CQ " + call + " CQ");
        case 1:
          return to_field<kMessageChars>(call);
        case 2:
          return to_field<kMessageChars>("TU " + call + " CQ");
        case 3:
          return to_field<kMessageChars>(call + " TU");
        case 4:
          return to_field<kMessageChars>(call + " AGN?");
        case 5:
          return to_field<kMessageChars>("TU NOW " + call);
        default:
          return {};
      }
    case kAtomNumber:
      if (!number_in_range(atom.subkind, atom.value)) return {};
      return prefix_report(atom.flag, trimmed(format_atom_number(atom.subkind, atom.value)));
    case kAtomShortText:
      if (atom.subkind < 0 || atom.subkind > 4) return {};
      return prefix_report(atom.flag, call);
    case kAtomExchange:
      if (atom.subkind == 0) {
        if (atom.value < 0) return {};
        return to_field<kMessageChars>("599 " + with_digits(atom.value, 2) + " " + call);
      }
      if (atom.subkind != 1 || atom.value < 0 || atom.value2 < 1 || atom.value2 > kSectionCount) {
        return {};
      }
      return to_field<kMessageChars>(std::to_string(atom.value) + call + " " +
                                     std::string(view(to_field<3>(kSections[atom.value2 - 1]))));
    case kAtomTimedNumber:
      if (atom.value < 0 || atom.value > 16383 || atom.value2 < 0 || atom.value2 > 1439) return {};
      return prefix_report(atom.flag, with_digits(atom.value, 3) + " " +
                                          with_digits(atom.value2 / 60, 2) +
                                          with_digits(atom.value2 % 60, 2));
    case kAtomWord:
      if (atom.subkind < 0 || atom.subkind >= kWordCount) return {};
      return to_field<kMessageChars>(kWords[atom.subkind]);
    case kAtomGrid:
      return prefix_report(atom.flag, view(atom.text).substr(0, 4));
    case kAtomTextChunk:
      return to_field<kMessageChars>(view(atom.text).substr(0, 5));
    default:
      return {};
  }
}

std::optional<PayloadFrame> atom_to_frame(const CompactAtom& atom, bool last) {
  const auto word = atom_word_of(atom);
  if (!word) return {};
  PayloadFrame frame;
  for (int i = 0; i < kAtomWordBits; ++i) frame[i] = bits(*word, 31 - i, 31 - i) ? '1' : '0';
  frame[kAtomWordBits] = '0';
  frame[kAtomWordBits + 1] = last ? '1' : '0';
  return frame;
}

std::optional<FrameAtom> frame_to_atom(const PayloadFrame& frame) {
  if (!std::all_of(frame.begin(), frame.end(), [](char c) { return c == '0' || c == '1'; })) {
    return {};
  }
  if (frame[kAtomWordBits] != '0') return {};
  std::uint32_t word = 0;
  for (int i = 0; i < kAtomWordBits; ++i) word = (word << 1) | (frame[i] == '1' ? 1u : 0u);
  if (word == 0) return {};
  const auto atom = atom_of_word(word);
  if (!atom) return {};
  return FrameAtom{*atom, frame[kAtomWordBits + 1] == '1'};
}

int atoms_to_frames(std::span<const CompactAtom> atoms, std::span<PayloadFrame> frames) {
  for (PayloadFrame& frame : frames) frame = blank_field<kPayloadBits>();
  if (atoms.empty() || atoms.size() > static_cast<std::size_t>(kMaxFrames) ||
      atoms.size() > frames.size()) {
    return 0;
  }
  for (std::size_t i = 0; i < atoms.size(); ++i) {
    const auto frame = atom_to_frame(atoms[i], i + 1 == atoms.size());
    if (!frame) {
      for (PayloadFrame& f : frames) f = blank_field<kPayloadBits>();
      return 0;
    }
    frames[i] = *frame;
  }
  return static_cast<int>(atoms.size());
}

}  // namespace kvol
