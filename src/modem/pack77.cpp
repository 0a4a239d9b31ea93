#include "modem/pack77.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace kvol {
namespace {

constexpr std::string_view kSetA = " 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::string_view kSetB = kDigitsAndLetters;
constexpr std::string_view kSetC = "0123456789";
constexpr std::string_view kSetD = " ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::string_view kSetH = " 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ/";
constexpr std::uint64_t kHashMultiplier = 47'055'833'459ull;
constexpr std::int32_t kStandardBase = kN28Base + kN28HashRange;
constexpr std::int32_t kTokenLimit = 1 << 28;
constexpr std::int32_t kCqNumberBase = 3;
constexpr std::int32_t kCqLetterBase = 1003;
constexpr std::int32_t kCqLetterEnd = 532'443;

// The recent-call list: calls packed on either path, newest first, so a hashed token can be
// shown as its call. Transmission and reception (the capture thread) both pack calls,
// so it has a lock of its own, held only while the list itself is read or changed.
struct RecentCalls {
  std::mutex lock;
  int count = 0;
  std::array<std::pair<std::uint32_t, CallField>, kRecentCallCapacity> entries{};
};
RecentCalls recent;

bool is_letter(char c) { return c >= 'A' && c <= 'Z'; }
bool is_letter_or_digit(char c) { return is_letter(c) || is_digit(c); }

int index_in(std::string_view set, char c) {
  const std::size_t at = set.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// 1-based position of the last digit, 0 when there is none.
std::size_t last_digit_position(std::string_view text) {
  for (std::size_t i = text.size(); i > 0; --i) {
    if (is_digit(text[i - 1])) return i;
  }
  return 0;
}

CallField quirk() { return to_field<kFieldChars>("QU1RK"); }

// A bracketed or plain call with its brackets removed (everything from ">" on blanked).
CallField strip_brackets(const CallField& text) {
  CallField call = text;
  if (call[0] == '<') {
    std::copy(call.begin() + 1, call.end(), call.begin());
    call.back() = ' ';
  }
  const auto close = std::find(call.begin(), call.end(), '>');
  std::fill(close, call.end(), ' ');
  return call;
}

void list_for_remembering(const CallField& text, CallsToRemember& toRemember) {
  const NormalizedCall normalized = normalize_call_for_hash(text);
  if (!normalized.ok || toRemember.count >= kMaxCallsToRemember) return;
  toRemember.calls[toRemember.count++] = normalized.call;
}

std::int32_t hashed_token(std::string_view call) {
  return kN28Base + static_cast<std::int32_t>(call_hash(call, kHashBits));
}

}  // namespace

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), is_digit);
}

CallCheck check_callsign(const CallField& word) {
  CallCheck result;
  result.baseCall = to_field<6>(view(word));
  const std::string_view text = trimmed(word);
  if (text.size() > 11 || text.find_first_of(".+-?") != std::string_view::npos) return result;

  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) {
    if (text.size() > 6) return result;
  } else {
    const std::string_view before = text.substr(0, slash);
    const std::string_view after = text.substr(slash + 1);
    if (before.size() > 6 || after.size() > 6) return result;
    if (!before.empty() && !after.empty()) {
      result.baseCall = to_field<6>(before.size() > after.size() ? before : after);
    }
  }

  const Field<6>& b = result.baseCall;
  std::size_t area = 0;  // 1-based position of the area digit
  if (is_letter(b[0]) && b[0] != 'Q' && is_digit(b[1])) {
    area = is_digit(b[2]) ? 3 : 2;
  } else {
    if (b[0] == 'Q' && view(b).substr(0, 5) != "QU1RK") return result;
    if (!is_letter(b[0]) && !is_letter(b[1])) return result;
    if (!is_digit(b[2])) return result;
    area = 3;
  }
  const std::string_view suffix = trimmed(b).substr(std::min(area, trimmed(b).size()));
  if (suffix.empty() || suffix.size() > 3 ||
      !std::all_of(suffix.begin(), suffix.end(), is_letter)) {
    return result;
  }
  result.ok = true;
  return result;
}

bool is_standard_call(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.size() < 3 || text.size() > 6) return false;
  if (!std::all_of(text.begin(), text.end(), is_letter_or_digit)) return false;
  const std::size_t digit = last_digit_position(text);
  if (digit != 2 && digit != 3) return false;
  const std::string_view before = text.substr(0, digit - 1);
  if (std::none_of(before.begin(), before.end(), is_letter)) return false;
  return text.size() - digit <= 3;
}

bool is_valid_unpacked_call(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.size() < 3 || text[0] == 'Q') return false;
  const std::size_t digit = last_digit_position(text);
  if (digit != 2 && digit != 3) return false;
  const std::string_view before = text.substr(0, digit - 1);
  if (std::none_of(before.begin(), before.end(), is_letter) ||
      !std::all_of(before.begin(), before.end(), is_letter_or_digit)) {
    return false;
  }
  const std::string_view after = text.substr(digit);
  return !after.empty() && after.size() <= 3 && std::all_of(after.begin(), after.end(), is_letter);
}

bool is_cq_suffix(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.size() == 3 && is_all_digits(text)) return true;
  return !text.empty() && text.size() <= 4 && std::all_of(text.begin(), text.end(), is_letter);
}

bool is_bracketed_call(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.size() < 5 || text.size() > 13 || text.front() != '<' || text.back() != '>') {
    return false;
  }
  return text.substr(1, text.size() - 2).find_first_of("<>") == std::string_view::npos;
}

NormalizedCall normalize_call_for_hash(const CallField& text) {
  NormalizedCall result;
  const std::string_view t = trimmed(text);
  if (t.empty() || t == "<...>") return result;
  result.call = is_bracketed_call(t) ? strip_brackets(text) : text;
  result.ok = trimmed(result.call).size() >= 3;
  return result;
}

std::uint32_t hash_multiply_shift(std::uint64_t n, int bits) {
  bits = std::clamp(bits, 1, 32);
  // Unsigned arithmetic wraps modulo 2^64, which is exactly the low 64 bits of the product.
  return static_cast<std::uint32_t>((n * kHashMultiplier) >> (64 - bits));
}

std::uint32_t call_hash(std::string_view call, int bits) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < 11; ++i) {
    const int digit = i < call.size() ? index_in(kSetH, call[i]) : 0;
    n = n * 38 + static_cast<std::uint64_t>(std::max(digit, 0));
  }
  return hash_multiply_shift(n, bits);
}

std::int32_t call_to_n28(const CallField& text, CallsToRemember& toRemember) {
  const std::string_view t = trimmed(text);
  const std::string_view full = view(text);

  std::string working(t);
  if (working.starts_with("3DA0")) {
    working.replace(0, 4, "3D0");
  } else if (working.size() >= 3 && working.starts_with("3X") && is_letter(working[2])) {
    working.replace(0, 2, "Q");
  }

  if (full.starts_with("DE ")) return 0;
  if (full.starts_with("QRZ ")) return 1;
  if (full.starts_with("CQ ")) return 2;

  if (t.starts_with("CQ_") && t.size() > 3 && is_cq_suffix(t.substr(3))) {
    const std::string_view suffix = t.substr(3);
    if (is_all_digits(suffix)) {
      return kCqNumberBase + (suffix[0] - '0') * 100 + (suffix[1] - '0') * 10 + (suffix[2] - '0');
    }
    std::int32_t value = 0;
    const std::size_t blanks = 4 - suffix.size();
    for (std::size_t i = 0; i < 4; ++i) {
      value = value * 27 + (i < blanks ? 0 : suffix[i - blanks] - 'A' + 1);
    }
    return kCqLetterBase + value;
  }

  if (t.starts_with("<")) {
    if (!is_bracketed_call(t)) return kN28Base;
    list_for_remembering(text, toRemember);
    return hashed_token(trimmed(strip_brackets(text)));
  }

  list_for_remembering(text, toRemember);
  if (is_standard_call(working)) {
    const std::size_t digit = last_digit_position(working);
    Field<6> c = to_field<6>(digit == 2 ? " " + working : working);
    const int i1 = index_in(kSetA, c[0]), i2 = index_in(kSetB, c[1]), i3 = index_in(kSetC, c[2]);
    const int i4 = index_in(kSetD, c[3]), i5 = index_in(kSetD, c[4]), i6 = index_in(kSetD, c[5]);
    if (i1 >= 0 && i2 >= 0 && i3 >= 0 && i4 >= 0 && i5 >= 0 && i6 >= 0) {
      const std::int32_t n = ((((i1 * 36 + i2) * 10 + i3) * 27 + i4) * 27 + i5) * 27 + i6;
      return (kStandardBase + n) & (kTokenLimit - 1);
    }
  }
  return hashed_token(t);
}

std::int32_t call_to_n28_remember(const CallField& text) {
  CallsToRemember toRemember;
  const std::int32_t token = call_to_n28(text, toRemember);
  for (int i = 0; i < toRemember.count; ++i) remember_call(toRemember.calls[i]);
  return token;
}

void remember_call(const CallField& call) {
  const std::string_view t = trimmed(call);
  if (t.empty() || t == "<...>") return;
  const CallField stripped = strip_brackets(call);
  if (trimmed(stripped).size() < 3) return;
  const std::uint32_t hash = call_hash(trimmed(stripped), kHashBits);

  std::lock_guard guard(recent.lock);
  bool known = false;
  for (int i = 0; i < recent.count; ++i) {
    if (recent.entries[i].first == hash) {
      recent.entries[i].second = stripped;
      known = true;
    }
  }
  if (known) return;
  const int kept = std::min(recent.count, kRecentCallCapacity - 1);
  std::move_backward(recent.entries.begin(), recent.entries.begin() + kept,
                     recent.entries.begin() + kept + 1);
  recent.entries[0] = {hash, stripped};
  recent.count = kept + 1;
}

CallField hash22_to_call(std::int32_t hash) {
  const auto key = static_cast<std::uint32_t>(hash);
  std::lock_guard guard(recent.lock);
  for (int i = 0; i < recent.count; ++i) {
    if (recent.entries[i].first == key) {
      std::string text = "<";
      text += trimmed(recent.entries[i].second);
      text += '>';
      return to_field<kFieldChars>(text);
    }
  }
  return to_field<kFieldChars>("<...>");
}

UnpackedCall n28_to_call(std::int32_t token, bool strict) {
  UnpackedCall result{blank_field<kFieldChars>(), true};
  if (token < 0 || token >= kTokenLimit) {
    return {quirk(), false};
  } else if (token <= 2) {
    static constexpr std::string_view kNames[] = {"DE", "QRZ", "CQ"};
    result.text = to_field<kFieldChars>(kNames[token]);
  } else if (token <= kCqLetterBase - 1) {
    const std::int32_t n = token - kCqNumberBase;
    const char digits[] = {static_cast<char>('0' + n / 100), static_cast<char>('0' + n / 10 % 10),
                           static_cast<char>('0' + n % 10)};
    result.text = to_field<kFieldChars>("CQ_" + std::string(digits, 3));
  } else if (token <= kCqLetterEnd) {
    std::int32_t n = token - kCqLetterBase;
    std::string letters(4, ' ');
    for (int i = 3; i >= 0; --i, n /= 27) letters[i] = kSetD[n % 27];
    letters.erase(0, letters.find_first_not_of(' ') == std::string::npos
                         ? letters.size()
                         : letters.find_first_not_of(' '));
    result.text = to_field<kFieldChars>("CQ_" + letters);
  } else if (token < kN28Base) {
    result.text = to_field<kFieldChars>("<...>");
  } else if (token < kStandardBase) {
    result.text = hash22_to_call(token - kN28Base);
  } else {
    std::int32_t n = token - kStandardBase;
    std::string c(6, ' ');
    c[0] = kSetA[std::min<std::int32_t>(n / 7'085'880, 36)];
    n %= 7'085'880;
    c[1] = kSetB[n / 196'830];
    n %= 196'830;
    c[2] = kSetC[n / 19'683];
    n %= 19'683;
    c[3] = kSetD[n / 729];
    c[4] = kSetD[n / 27 % 27];
    c[5] = kSetD[n % 27];
    c.erase(0, c.find_first_not_of(' '));
    result.text = to_field<kFieldChars>(c);
    if (!is_valid_unpacked_call(c)) return {quirk(), false};
  }

  const std::string_view t = trimmed(result.text);
  const std::size_t first = t.find_first_not_of(' ');
  if (first != std::string_view::npos && t.find(' ', first) != std::string_view::npos) {
    return {quirk(), false};
  }
  if (strict && t.size() >= 2 && is_digit(t[0]) && is_digit(t[1])) return {quirk(), false};
  return result;
}

UnpackedCall n28_to_call_default(std::int32_t token) { return n28_to_call(token, false); }

}  // namespace kvol
