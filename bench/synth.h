// Deterministic synthetic PDF material for the micro benchmarks: content streams, word text and
// whole text documents, built in memory the way bench/gen_inputs.py builds its files.
#pragma once
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qmbench {

// splitmix64: small, fast and the same on every platform.
struct rng {
  uint64_t s;
  explicit rng(uint64_t seed) : s(seed) {}
  uint64_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }
  int range(int lo, int hi) {
    return lo + static_cast<int>(below(static_cast<uint32_t>(hi - lo + 1)));
  }
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
};

// Pseudo-words built from syllables, drawn with Zipf-like frequencies as in natural text.
struct vocabulary {
  std::vector<std::string> words;
  std::vector<double> cum;  // cumulative weights 1/rank

  vocabulary(rng& r, int n = 3000) {
    static const char* const syl[] = {
        "ta",  "re",  "mi",  "lo",  "pon",  "qua", "vel", "sit", "am",  "et",  "dor",
        "lex", "pri", "nus", "gra", "tion", "ber", "col", "dun", "fer", "hal", "ist",
        "jor", "kin", "lum", "mor", "nex",  "ost", "pul", "rix", "sar", "tem", "ub",
        "var", "wes", "ny",  "yor", "zen",  "ca",  "de",  "fi",  "go",  "hu"};
    const uint32_t nsyl = sizeof syl / sizeof syl[0];
    while (static_cast<int>(words.size()) < n) {
      std::string w;
      for (int k = r.range(1, 4); k > 0; --k) w += syl[r.below(nsyl)];
      words.push_back(std::move(w));
      if (static_cast<int>(words.size()) == n) {  // drop duplicates, keep drawing
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end()), words.end());
      }
    }
    for (size_t i = words.size(); i > 1; --i) std::swap(words[i - 1], words[r.below(i)]);
    double total = 0;
    for (size_t i = 0; i < words.size(); ++i) cum.push_back(total += 1.0 / double(i + 1));
  }

  const std::string& pick(rng& r) const {
    double x = r.unit() * cum.back();
    size_t i = std::upper_bound(cum.begin(), cum.end(), x) - cum.begin();
    return words[std::min(i, words.size() - 1)];
  }
  void append_words(rng& r, std::string& out, int n) const {
    for (int i = 0; i < n; ++i) {
      if (i) out += ' ';
      out += pick(r);
    }
  }
};

inline void appendf(std::string& out, const char* fmt, double a, double b = 0, double c = 0) {
  char line[128];
  int n = std::snprintf(line, sizeof line, fmt, a, b, c);
  out.append(line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
}

// One page of content operators (about 5 KB, about 2 KB after Flate): header and footer rules,
// headings, body lines as kerned TJ arrays with word spacing, a code block in Courier.
inline std::string content_stream(rng& r, const vocabulary& v, int page, int npages) {
  std::string s = "q 0.4 w 0.5 G 56 60 m 539 60 l S 56 790 m 539 790 l S Q\n";
  s += "BT\n/F2 9 Tf\n1 0 0 1 56 800 Tm\n(Quire benchmark) Tj\n/F1 9 Tf\n1 0 0 1 480 46 Tm\n";
  s += "(Page " + std::to_string(page) + " of " + std::to_string(npages) + ") Tj\nET\nBT\n";
  double y = 764;
  while (y > 90) {
    double kind = r.unit();
    if (kind < 0.12) {
      appendf(s, "/F2 14 Tf\n1 0 0 1 56 %.2f Tm\n(", y);
      v.append_words(r, s, r.range(2, 6));
      s += ") Tj\n";
      y -= 22;
    } else if (kind < 0.22) {
      appendf(s, "/F5 8.5 Tf\n10 TL\n1 0 0 1 72 %.2f Tm\n", y);
      for (int k = r.range(2, 5); k > 0; --k) {
        s += '(';
        v.append_words(r, s, r.range(3, 8));
        appendf(s, "\\(%.0f\\);) Tj\nT*\n", r.range(0, 999));
        y -= 10;
      }
      y -= 6;
    } else {
      appendf(s,
              kind > 0.9 ? "/F4 10.5 Tf\n12.6 TL\n1 0 0 1 56 %.2f Tm\n"
                         : "/F3 10.5 Tf\n12.6 TL\n1 0 0 1 56 %.2f Tm\n",
              y);
      for (int k = r.range(3, 8); k > 0 && y > 90; --k) {
        int words = r.range(7, 10), cut = r.range(2, words - 2);
        appendf(s, "%.3f Tw\n[(", r.unit() * 1.5);
        v.append_words(r, s, cut);
        appendf(s, ") %.0f (", r.range(-60, 60));
        v.append_words(r, s, words - cut);
        s += ")] TJ\nT*\n";
        y -= 12.6;
      }
      y -= 8;
    }
  }
  s += "ET\n";
  return s;
}

// Plain running text: lines of words, `bytes` long.
inline std::string random_text(rng& r, const vocabulary& v, size_t bytes) {
  std::string s;
  s.reserve(bytes + 128);
  while (s.size() < bytes) {
    v.append_words(r, s, r.range(6, 14));
    s += r.below(8) == 0 ? ".\n\n" : ".\n";
  }
  s.resize(bytes);
  return s;
}

inline std::string zcompress(std::string_view raw, int level) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  std::string out(n, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &n,
                reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                level) != Z_OK)
    return {};
  out.resize(n);
  return out;
}

// A whole PDF of `npages` text pages sharing five standard fonts, ~2 KB of Flate content each,
// a page tree of at most 100 kids per node. With objstm, every non-stream object is stored in
// object streams of 100 and a cross-reference stream replaces the classic table. With tiny,
// each page has a one-line uncompressed content stream instead.
inline std::string text_document(int npages, bool objstm = false, bool tiny = false) {
  rng r(0x5eed0000u + static_cast<uint64_t>(npages) * 2 + (tiny ? 1 : 0));
  vocabulary v(r);
  const int fanout = 100;
  const char* const fonts[] = {"Helvetica", "Helvetica-Bold", "Times-Roman", "Times-Italic",
                               "Courier"};
  int next = 1;
  const int catalog = next++, root = next++;
  int font[5];
  for (int& f : font) f = next++;
  const int first_page = next;
  next += 2 * npages;

  // Page tree, bottom up: each level groups the one below by `fanout`.
  struct node {
    int num, parent;
    std::vector<int> kids;
    int count;
  };
  std::vector<node> nodes;  // all but the root
  std::vector<int> page_parent(static_cast<size_t>(npages), root);
  std::vector<int> level(static_cast<size_t>(npages));
  std::vector<int> level_count(static_cast<size_t>(npages), 1);
  for (int i = 0; i < npages; ++i) level[static_cast<size_t>(i)] = first_page + 2 * i;
  bool pages_level = true;
  size_t below_start = 0;
  while (level.size() > static_cast<size_t>(fanout)) {
    std::vector<int> up, up_count;
    size_t start = nodes.size();
    for (size_t i = 0; i < level.size(); i += fanout) {
      node n{next++, root, {}, 0};
      for (size_t k = i; k < std::min(level.size(), i + fanout); ++k) {
        n.kids.push_back(level[k]);
        n.count += level_count[k];
        if (pages_level)
          page_parent[k] = n.num;
        else
          nodes[below_start + k].parent = n.num;
      }
      up.push_back(n.num);
      up_count.push_back(n.count);
      nodes.push_back(std::move(n));
    }
    below_start = start;
    level = std::move(up);
    level_count = std::move(up_count);
    pages_level = false;
  }

  auto refs = [](const std::vector<int>& kids) {
    std::string s;
    for (int k : kids) {
      if (!s.empty()) s += ' ';
      s += std::to_string(k);
      s += " 0 R";
    }
    return s;
  };
  // The small objects, as (number, text).
  std::vector<std::pair<int, std::string>> small;
  small.emplace_back(catalog, "<< /Type /Catalog /Pages " + std::to_string(root) + " 0 R >>");
  int total = 0;
  for (int c : level_count) total += c;
  small.emplace_back(
      root, "<< /Type /Pages /Kids [" + refs(level) + "] /Count " + std::to_string(total) + " >>");
  for (const node& n : nodes)
    small.emplace_back(n.num, "<< /Type /Pages /Kids [" + refs(n.kids) + "] /Count " +
                                  std::to_string(n.count) + " /Parent " + std::to_string(n.parent) +
                                  " 0 R >>");
  for (int i = 0; i < 5; ++i)
    small.emplace_back(font[i], std::string("<< /Type /Font /Subtype /Type1 /BaseFont /") +
                                    fonts[i] + " /Encoding /WinAnsiEncoding >>");
  std::string res = "/Resources << /Font <<";
  for (int i = 0; i < 5; ++i)
    res += " /F" + std::to_string(i + 1) + " " + std::to_string(font[i]) + " 0 R";
  res += " >> /ProcSet [/PDF /Text] >>";
  std::vector<std::pair<int, std::string>> streams;  // content: (number, Flate data or text)
  for (int i = 0; i < npages; ++i) {
    int pn = first_page + 2 * i;
    small.emplace_back(pn, "<< /Type /Page /Parent " + std::to_string(page_parent[size_t(i)]) +
                               " 0 R /MediaBox [0 0 595 842] " + res + " /Contents " +
                               std::to_string(pn + 1) + " 0 R >>");
    if (tiny)
      streams.emplace_back(pn + 1, "BT /F1 24 Tf 72 500 Td (" + std::to_string(i + 1) + ") Tj ET");
    else
      streams.emplace_back(pn + 1, zcompress(content_stream(r, v, i + 1, npages), 6));
  }

  std::string out = objstm ? "%PDF-1.5\n%\xE2\xE3\xCF\xD3\n" : "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<long long> offset(static_cast<size_t>(next) + npages / 50 + 8, -1);
  std::vector<std::pair<int, int>> in_stm(offset.size(), {0, 0});  // (objstm number, index)
  auto put_obj = [&](int num, std::string_view body) {
    offset[static_cast<size_t>(num)] = static_cast<long long>(out.size());
    out += std::to_string(num) + " 0 obj\n";
    out += body;
    out += "\nendobj\n";
  };
  auto put_stream = [&](int num, std::string_view keys, std::string_view data) {
    offset[static_cast<size_t>(num)] = static_cast<long long>(out.size());
    out += std::to_string(num) + " 0 obj\n<< " + std::string(keys) + (keys.empty() ? "" : " ") +
           "/Length " + std::to_string(data.size()) + " >>\nstream\n";
    out += data;
    out += "\nendstream\nendobj\n";
  };
  const char* content_keys = tiny ? "" : "/Filter /FlateDecode";
  if (!objstm) {
    for (const auto& [num, text] : small) put_obj(num, text);
    for (const auto& [num, data] : streams) put_stream(num, content_keys, data);
    long long xref = static_cast<long long>(out.size());
    out += "xref\n0 " + std::to_string(next) + "\n0000000000 65535 f \n";
    char line[24];
    for (int n = 1; n < next; ++n) {
      long long off = offset[static_cast<size_t>(n)];
      std::snprintf(line, sizeof line, off >= 0 ? "%010lld 00000 n \n" : "0000000000 65535 f \n",
                    off);
      out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(next) + " /Root " + std::to_string(catalog) +
           " 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return out;
  }
  size_t si = 0;
  for (size_t s = 0; s < small.size(); s += 100) {
    int stm = next++;
    std::string head, body;
    size_t end = std::min(small.size(), s + 100);
    for (size_t k = s; k < end; ++k) {
      head += std::to_string(small[k].first) + " " + std::to_string(body.size()) + " ";
      body += small[k].second + "\n";
      in_stm[static_cast<size_t>(small[k].first)] = {stm, static_cast<int>(k - s)};
    }
    head.back() = '\n';
    put_stream(stm,
               "/Type /ObjStm /N " + std::to_string(end - s) + " /First " +
                   std::to_string(head.size()) + " /Filter /FlateDecode",
               zcompress(head + body, 6));
    for (int k = 0; k < 50 && si < streams.size(); ++k, ++si)
      put_stream(streams[si].first, content_keys, streams[si].second);
  }
  for (; si < streams.size(); ++si) put_stream(streams[si].first, content_keys, streams[si].second);
  const int xref_num = next++;
  offset[static_cast<size_t>(xref_num)] = static_cast<long long>(out.size());
  std::string rows = std::string("\0\0\0\0\0\xff\xff", 7);
  for (int n = 1; n < next; ++n) {
    unsigned char row[7] = {0, 0, 0, 0, 0, 0xff, 0xff};
    auto [stm, idx] = in_stm[static_cast<size_t>(n)];
    long long off = offset[static_cast<size_t>(n)];
    uint32_t field = stm ? static_cast<uint32_t>(stm) : static_cast<uint32_t>(off);
    if (stm || off >= 0) {
      row[0] = stm ? 2 : 1;
      for (int b = 0; b < 4; ++b) row[1 + b] = static_cast<unsigned char>(field >> (24 - 8 * b));
      row[5] = static_cast<unsigned char>(stm ? idx >> 8 : 0);
      row[6] = static_cast<unsigned char>(stm ? idx & 0xff : 0);
    }
    rows.append(reinterpret_cast<const char*>(row), 7);
  }
  long long xref = static_cast<long long>(out.size());
  put_stream(xref_num,
             "/Type /XRef /Size " + std::to_string(next) + " /W [1 4 2] /Root " +
                 std::to_string(catalog) + " 0 R /Filter /FlateDecode",
             zcompress(rows, 6));
  out += "startxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

}  // namespace qmbench
