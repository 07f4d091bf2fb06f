// Stream dictionaries: the end of a dictionary and the "stream" keyword after it, /Length, and
// copies of whole dictionaries.
//
// Lexical rules used here:
//   - "<<" opens and ">>" closes a dictionary; a single "<" (a hex string's opening) or ">" is an
//     ordinary byte, and the hex digits are scanned like any other byte.
//   - "(" opens a literal string that runs to its balancing ")"; nested parentheses count, and a
//     backslash escapes the byte after it. Delimiters inside a string do not count.
//   - "%" is not treated as a comment when looking for the "stream" keyword: dictionaries that
//     hold comments are rare, and a stray "%" in binary-looking text must not hide the
//     dictionary's end. Copying a dictionary (dict_text_at) does skip comments, from "%" to the
//     next CR or LF: the copy is of a dictionary already known to be one.
//   - The "stream" keyword follows the closing ">>" after optional white space, as a whole token.
#include "reader/streamdict.h"

#include <algorithm>
#include <climits>
#include <iterator>

namespace qm {

namespace {

// One step of the scan for a dictionary's end, at p < len. The steps do not depend on the depth.
enum step_kind { kPlain, kOpen, kClose, kFail };
struct step_t {
  step_kind kind;
  pos_t next;
};

step_t scan_step(const char* t, pos_t len, pos_t p) {
  unsigned char c = byte_at(t, p);
  if (c == '<' || c == '>') {
    if (p == len - 1) return {kFail, p};
    if (byte_at(t, p + 1) == c) return {c == '<' ? kOpen : kClose, p + 2};
    return {kPlain, p + 1};  // a hex string's "<", or a stray ">"
  }
  if (c == '(') {
    const pos_t q = skip_literal_string(t, p, len);
    // Ending inside the string, or right after its closing parenthesis, leaves no room for the
    // dictionary to close.
    if (q < 0 || q >= len) return {kFail, p};
    return {kPlain, q};
  }
  return {kPlain, p + 1};
}

// The "stream" keyword after the ">>" at p, or -1.
pos_t stream_after(const char* t, pos_t len, pos_t p) {
  pos_t q = skip_ws(t, p + 2, len);
  return kw_at(t, q, len, "stream") ? q : -1;
}

// --- The recorded scan of dict_end_memo -------------------------------------------------------

void record_start(dict_end_memo& m, pos_t p) {
  m.active = true;
  m.done = false;
  m.capped = false;
  m.live = p;
  m.rpos = p;
  m.level = 0;
  m.base_level = 0;
  m.events.clear();
  m.ev_head = 0;
  m.gaps.clear();
  m.gap_head = 0;
  m.closes.clear();
}

// Follows the recorded scan one step; false when it cannot go on.
bool record_extend(dict_end_memo& m) {
  if (m.done || m.capped) return false;
  if (m.rpos >= m.len) {
    m.done = true;
    return false;
  }
  if (m.events.size() - m.ev_head >= m.max_events) {
    m.capped = true;
    return false;
  }
  step_t s = scan_step(m.t, m.len, m.rpos);
  switch (s.kind) {
    case kFail:
      m.done = true;
      return false;
    case kOpen:
      m.events.push_back({m.rpos, ++m.level, false});
      m.gaps.emplace_back(m.rpos + 1, s.next);
      break;
    case kClose:
      m.events.push_back({m.rpos, --m.level, true});
      m.closes[m.level].push_back(m.rpos);
      m.gaps.emplace_back(m.rpos + 1, s.next);
      break;
    case kPlain:
      if (s.next > m.rpos + 1) m.gaps.emplace_back(m.rpos + 1, s.next);  // a string
      break;
  }
  m.rpos = s.next;
  return true;
}

// Forgets what lies before q (questions come in increasing order).
void record_prune(dict_end_memo& m, pos_t q) {
  if (!m.active || q <= m.live) return;
  if (q >= m.rpos) {
    m.active = false;  // the whole record lies behind
    return;
  }
  m.live = q;
  while (m.ev_head < m.events.size() && m.events[m.ev_head].pos < q)
    m.base_level = m.events[m.ev_head++].level;
  while (m.gap_head < m.gaps.size() && m.gaps[m.gap_head].second <= q) ++m.gap_head;
  if (m.ev_head > 4096 && m.ev_head * 2 > m.events.size()) {
    m.events.erase(m.events.begin(), m.events.begin() + static_cast<std::ptrdiff_t>(m.ev_head));
    m.ev_head = 0;
    m.gaps.erase(m.gaps.begin(), m.gaps.begin() + static_cast<std::ptrdiff_t>(m.gap_head));
    m.gap_head = 0;
    m.closes.clear();
    for (const auto& e : m.events)
      if (e.close) m.closes[e.level].push_back(e.pos);
  }
}

// True when the recorded scan steps on p (it passes p and does not step over it).
bool record_has(dict_end_memo& m, pos_t p) {
  if (!m.active || p < m.live) return false;
  while (m.rpos <= p)
    if (!record_extend(m)) return false;
  auto b = m.gaps.begin() + static_cast<std::ptrdiff_t>(m.gap_head);
  auto it = std::upper_bound(b, m.gaps.end(), p,
                             [](pos_t v, const std::pair<pos_t, pos_t>& g) { return v < g.first; });
  return it == b || p >= std::prev(it)->second;
}

// The recorded depth just before x.
int32_t record_level_before(const dict_end_memo& m, pos_t x) {
  auto b = m.events.begin() + static_cast<std::ptrdiff_t>(m.ev_head);
  auto it = std::lower_bound(b, m.events.end(), x,
                             [](const dict_end_memo::event& e, pos_t v) { return e.pos < v; });
  return it == b ? m.base_level : std::prev(it)->level;
}

// The first recorded ">>" at or after x that leaves the depth at `target`: -1 when the scan
// fails or ends first, -2 when the record is full before it is found.
pos_t record_close(dict_end_memo& m, pos_t x, int32_t target) {
  auto c = m.closes.find(target);
  if (c != m.closes.end()) {
    auto it = std::lower_bound(c->second.begin(), c->second.end(), x);
    if (it != c->second.end()) return *it;
  }
  for (;;) {
    size_t n = m.events.size();
    if (!record_extend(m)) return m.capped ? -2 : -1;
    if (m.events.size() > n) {
      const auto& e = m.events.back();
      if (e.close && e.level == target && e.pos >= x) return e.pos;
    }
  }
}

}  // namespace

pos_t dict_stream_kw(const char* t, pos_t len, pos_t pos) {
  if (pos < 0) return -1;
  int64_t depth = 0;
  pos_t p = pos;
  while (p < len) {
    step_t s = scan_step(t, len, p);
    if (s.kind == kFail) return -1;
    if (s.kind == kOpen) ++depth;
    if (s.kind == kClose && --depth == 0) return stream_after(t, len, p);
    p = s.next;
  }
  return -1;
}

dict_end_memo dict_end_memo_make(const char* t, pos_t len) {
  dict_end_memo m;
  m.t = t;
  m.len = len;
  m.max_events = 4u << 20;
  if (len > 0) m.max_events += static_cast<size_t>(len) / 16;
  return m;
}

pos_t dict_stream_kw(dict_end_memo& m, pos_t pos) {
  if (pos < 0) return -1;
  record_prune(m, pos);
  int64_t depth = 0;
  pos_t p = pos;
  bool may_join = true;
  for (int64_t steps = 0;; ++steps) {
    if (may_join && (steps & 63) == 0) {
      if (!record_has(m, p) && static_cast<int64_t>(p) - pos >= m.own_walk) {
        // A long scan of its own: record it from here for the questions that follow.
        record_start(m, p);
      }
      if (record_has(m, p)) {
        // From p on this scan is the recorded one; it closes where the recorded depth falls
        // to the level it had before p, less the depth this scan has already reached.
        int64_t target = static_cast<int64_t>(record_level_before(m, p)) - depth;
        pos_t c = -1;
        if (target >= INT32_MIN && target <= INT32_MAX)
          c = record_close(m, p, static_cast<int32_t>(target));
        else
          c = -2;
        if (c >= 0) return stream_after(m.t, m.len, c);
        if (c == -1) return -1;
        // The record is full: go on alone from where it stops.
        depth += m.level - record_level_before(m, p);
        p = m.rpos;
        may_join = false;
        continue;
      }
    }
    if (p >= m.len) return -1;
    step_t s = scan_step(m.t, m.len, p);
    if (s.kind == kFail) return -1;
    if (s.kind == kOpen) ++depth;
    if (s.kind == kClose && --depth == 0) return stream_after(m.t, m.len, p);
    p = s.next;
  }
}

bool parse_length_at(const char* t, pos_t len, pos_t k, pos_t end, int32_t* direct, int32_t* ref) {
  *direct = -1;
  *ref = -1;
  constexpr pos_t kNameLen = 7;  // "/Length"
  // The byte right after the name cannot belong to the name; the value is looked for from the
  // byte after that one.
  const int64_t v64 = static_cast<int64_t>(k) + kNameLen + 1;
  if (v64 >= end) return true;
  const pos_t v = skip_ws(t, static_cast<pos_t>(v64), end);
  if (v >= end) return true;
  const unsigned char c = byte_at(t, v);
  if (c == '[') {
    // An array: the last non-negative integer in it.
    int32_t cand = -1;
    pos_t p = v + 1;
    while (p < end && byte_at(t, p) != ']') {
      pos_t q = p;
      int32_t n = parse_int_at(t, end, &q);
      if (q != p) {
        if (n >= 0) cand = n;
        p = q;
      } else {
        ++p;
      }
    }
    if (cand < 0) return false;
    *direct = cand;
    return true;
  }
  if (!is_digit(c) && c != '-') return false;
  pos_t q = v;
  const int32_t n = parse_int_at(t, len, &q);
  if (q == v || n < 0) return false;
  // "N G R" is a reference to the object holding the length; anything else is direct. (The
  // number itself was read up to the text's end, the rest of a reference only within the span.)
  if (ref_tail_end(t, q, end, ref_gen::required) >= 0)
    *ref = n;
  else
    *direct = n;
  return true;
}

void parse_length(const char* t, pos_t len, pos_t start, pos_t end, int32_t* direct, int32_t* ref) {
  *direct = -1;
  *ref = -1;
  if (start < 0) return;
  for (pos_t k = find_name(t, len, start, end, "Length"); k >= 0;
       k = find_name(t, len, k + 1, end, "Length"))
    if (parse_length_at(t, len, k, end, direct, ref)) return;
  *direct = -1;
  *ref = -1;
}

// The copy of a dictionary: balancing "<<" and ">>", with literal strings and comments stepped
// over.
bool dict_text_at(const char* t, pos_t len, pos_t pos, std::string* out) {
  if (t == nullptr || pos < 0 || pos + 1 >= len || t[pos] != '<' || t[pos + 1] != '<') return false;
  int depth = 0;
  pos_t i = pos;
  while (i < len) {
    char c = t[i];
    if (c == '<' && i + 1 < len && t[i + 1] == '<') {
      ++depth;
      i += 2;
    } else if (c == '>' && i + 1 < len && t[i + 1] == '>') {
      if (--depth == 0) {
        out->assign(t + pos, static_cast<size_t>(i + 2 - pos));
        return true;
      }
      i += 2;
    } else if (c == '(') {
      i = skip_literal_string(t, i, len);
      if (i < 0) return false;  // the text ends inside the string
    } else if (c == '%') {
      i = skip_comment(t, i, len);
    } else {
      ++i;
    }
  }
  return false;
}

}  // namespace qm
