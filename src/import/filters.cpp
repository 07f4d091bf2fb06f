// The non-Flate stream filters of ISO 32000 (ASCIIHex, ASCII85, RunLength, LZW) and predictors.
#include "import/filters.h"

#include <memory>

#include "text/scan.h"

namespace qm {
namespace {

int hex_val(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Room for n more bytes of this stage's output, which began at `base`.
bool fits(const std::string& out, size_t base, size_t n, size_t limit) {
  size_t have = out.size() - base;
  return have <= limit && n <= limit - have;
}

}  // namespace

bool filter_by_name(std::string_view name, filter_kind* k) {
  // Names may spell any byte as #xx; decode before comparing. A '#' without two hex digits after
  // it stands for itself.
  char dec[32];
  size_t n = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (n == sizeof dec) return false;  // longer than any filter name
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '#' && i + 2 < name.size() && hex_val(name[i + 1]) >= 0 && hex_val(name[i + 2]) >= 0) {
      c = static_cast<unsigned char>(hex_val(name[i + 1]) * 16 + hex_val(name[i + 2]));
      i += 2;
    }
    dec[n++] = static_cast<char>(c);
  }
  std::string_view d(dec, n);
  struct entry {
    std::string_view full, abbr;
    filter_kind kind;
  };
  static constexpr entry table[] = {
      {"FlateDecode", "Fl", filter_kind::flate},   {"LZWDecode", "LZW", filter_kind::lzw},
      {"ASCIIHexDecode", "AHx", filter_kind::ahx}, {"ASCII85Decode", "A85", filter_kind::a85},
      {"RunLengthDecode", "RL", filter_kind::rl},
  };
  for (const entry& e : table) {
    if (d == e.full || d == e.abbr) {
      *k = e.kind;
      return true;
    }
  }
  return false;
}

bool ahx_decode(std::string_view in, std::string& out, size_t limit) {
  const size_t base = out.size();
  out.reserve(base + in.size() / 2 + 1);
  int hi = -1;
  for (unsigned char c : in) {
    if (c == '>') break;
    if (is_ws(c)) continue;
    int v = hex_val(c);
    if (v < 0) return false;
    if (hi < 0) {
      hi = v;
      continue;
    }
    if (!fits(out, base, 1, limit)) return false;
    out.push_back(static_cast<char>(hi * 16 + v));
    hi = -1;
  }
  if (hi >= 0) {
    if (!fits(out, base, 1, limit)) return false;
    out.push_back(static_cast<char>(hi * 16));
  }
  return true;
}

bool a85_decode(std::string_view in, std::string& out, size_t limit) {
  const size_t base = out.size();
  size_t i = 0;
  while (i < in.size() && is_ws(static_cast<unsigned char>(in[i]))) ++i;
  if (i + 1 < in.size() && in[i] == '<' && in[i + 1] == '~') i += 2;
  out.reserve(base + in.size() / 5 * 4 + 4);
  uint64_t acc = 0;
  int n = 0;  // digits in the current group
  for (; i < in.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    if (is_ws(c)) continue;
    if (c == '~') break;  // "~>", or a stray '~': the data ends here
    if (c == 'z') {
      if (n != 0) return false;
      if (!fits(out, base, 4, limit)) return false;
      out.append(4, '\0');
      continue;
    }
    if (c < '!' || c > 'u') return false;
    acc = acc * 85 + (c - '!');
    if (++n == 5) {
      if (acc > 0xFFFFFFFFu) return false;
      if (!fits(out, base, 4, limit)) return false;
      char b[4] = {static_cast<char>(acc >> 24), static_cast<char>(acc >> 16),
                   static_cast<char>(acc >> 8), static_cast<char>(acc)};
      out.append(b, 4);
      acc = 0;
      n = 0;
    }
  }
  if (n > 0) {
    // A final group of n digits stands for n - 1 bytes: pad it with the highest digit and keep the
    // leading bytes (a single digit thus gives nothing).
    for (int k = n; k < 5; ++k) acc = acc * 85 + 84;
    if (acc > 0xFFFFFFFFu) return false;
    if (!fits(out, base, static_cast<size_t>(n - 1), limit)) return false;
    for (int k = 0; k < n - 1; ++k) out.push_back(static_cast<char>(acc >> (24 - 8 * k)));
  }
  return true;
}

bool rl_decode(std::string_view in, std::string& out, size_t limit) {
  const size_t base = out.size();
  size_t i = 0;
  while (i < in.size()) {
    unsigned char l = static_cast<unsigned char>(in[i++]);
    if (l == 128) break;
    if (l < 128) {
      size_t n = static_cast<size_t>(l) + 1;
      if (n > in.size() - i) n = in.size() - i;
      if (!fits(out, base, n, limit)) return false;
      out.append(in.data() + i, n);
      i += n;
    } else {
      if (i >= in.size()) break;
      size_t n = 257 - static_cast<size_t>(l);
      if (!fits(out, base, n, limit)) return false;
      out.append(n, in[i++]);
    }
  }
  return true;
}

bool lzw_decode(std::string_view in, int early_change, std::string& out, size_t limit) {
  const size_t base = out.size();
  const int early = early_change ? 1 : 0;
  // The table: each entry is its prefix entry plus one byte; its length and first byte are kept
  // so that an entry's bytes can be written back to front without a stack.
  static constexpr int kMax = 4096;
  struct tables {
    uint16_t prefix[kMax];
    uint8_t last[kMax];
    uint8_t first[kMax];
    uint16_t len[kMax];
  };
  auto t = std::make_unique<tables>();
  for (int c = 0; c < 256; ++c) {
    t->prefix[c] = 0;
    t->last[c] = static_cast<uint8_t>(c);
    t->first[c] = static_cast<uint8_t>(c);
    t->len[c] = 1;
  }
  int next = 258;
  int width = 9;
  int prev = -1;
  uint32_t bitbuf = 0;
  int bitcnt = 0;
  size_t i = 0;
  auto width_for = [early](int nx) {
    int v = nx + early;
    return v < 512 ? 9 : v < 1024 ? 10 : v < 2048 ? 11 : 12;
  };
  for (;;) {
    while (bitcnt < width && i < in.size()) {
      bitbuf = (bitbuf << 8) | static_cast<unsigned char>(in[i++]);
      bitcnt += 8;
    }
    if (bitcnt < width) break;  // leftover bits at the end
    int code = static_cast<int>((bitbuf >> (bitcnt - width)) & ((1u << width) - 1));
    bitcnt -= width;
    if (code == 256) {
      next = 258;
      width = 9;
      prev = -1;
      continue;
    }
    if (code == 257) break;
    int entry;  // the entry whose bytes this code writes
    uint8_t head;
    if (code < next) {
      entry = code;
      head = t->first[code];
    } else if (code == next && prev >= 0) {
      entry = -1;  // the entry being defined: prev's bytes plus prev's first byte
      head = t->first[prev];
    } else {
      return false;
    }
    if (prev >= 0 && next < kMax) {
      t->prefix[next] = static_cast<uint16_t>(prev);
      t->last[next] = head;
      t->first[next] = t->first[prev];
      t->len[next] = static_cast<uint16_t>(t->len[prev] + 1);
      if (entry < 0) entry = next;
      ++next;
      width = width_for(next);
    }
    if (entry < 0) return false;  // cannot happen: code == next implies a free slot
    size_t n = t->len[entry];
    if (!fits(out, base, n, limit)) return false;
    size_t at = out.size();
    out.resize(at + n);
    int e = entry;
    for (size_t k = n; k-- > 0;) {
      out[at + k] = static_cast<char>(t->last[e]);
      e = t->prefix[e];
    }
    prev = code;
  }
  return true;
}

bool predictor_valid(const predictor_parms& p) {
  if (p.predictor != 1 && p.predictor != 2 && (p.predictor < 10 || p.predictor > 15)) return false;
  if (p.colors < 1 || p.columns < 1) return false;
  if (p.bpc != 1 && p.bpc != 2 && p.bpc != 4 && p.bpc != 8 && p.bpc != 16) return false;
  // One row must stay below the stage limit.
  uint64_t pixel_bits = static_cast<uint64_t>(p.colors) * static_cast<uint64_t>(p.bpc);
  return static_cast<uint64_t>(p.columns) <= kStageMax * 8 / pixel_bits;
}

namespace {

uint64_t row_bytes(const predictor_parms& p) {
  uint64_t bits = static_cast<uint64_t>(p.colors) * static_cast<uint64_t>(p.bpc) *
                  static_cast<uint64_t>(p.columns);
  return (bits + 7) / 8;
}

int paeth(int a, int b, int c) {
  int pa = b - c < 0 ? c - b : b - c;
  int pb = a - c < 0 ? c - a : a - c;
  int pc = a + b - 2 * c < 0 ? 2 * c - a - b : a + b - 2 * c;
  if (pa <= pb && pa <= pc) return a;
  if (pb <= pc) return b;
  return c;
}

bool png_decode(std::string_view in, const predictor_parms& p, std::string& out, size_t limit) {
  const size_t base = out.size();
  const size_t rowlen = static_cast<size_t>(row_bytes(p));
  const size_t bpp =
      static_cast<size_t>((static_cast<uint64_t>(p.colors) * static_cast<uint64_t>(p.bpc) + 7) / 8);
  std::string prior(rowlen, '\0');
  std::string cur(rowlen, '\0');
  size_t i = 0;
  while (i < in.size()) {
    unsigned tag = static_cast<unsigned char>(in[i++]);
    if (tag > 4) return false;
    size_t k = in.size() - i < rowlen ? in.size() - i : rowlen;
    const unsigned char* src = reinterpret_cast<const unsigned char*>(in.data() + i);
    const unsigned char* up = reinterpret_cast<const unsigned char*>(prior.data());
    unsigned char* dst = reinterpret_cast<unsigned char*>(cur.data());
    for (size_t x = 0; x < k; ++x) {
      int a = x >= bpp ? dst[x - bpp] : 0;
      int b = up[x];
      int c = x >= bpp ? up[x - bpp] : 0;
      int pred = 0;
      switch (tag) {
        case 0:
          pred = 0;
          break;
        case 1:
          pred = a;
          break;
        case 2:
          pred = b;
          break;
        case 3:
          pred = (a + b) / 2;
          break;
        default:
          pred = paeth(a, b, c);
          break;
      }
      dst[x] = static_cast<unsigned char>(src[x] + pred);
    }
    if (!fits(out, base, k, limit)) return false;
    out.append(cur.data(), k);
    cur.swap(prior);
    i += k;
  }
  return true;
}

bool tiff_decode(std::string_view in, const predictor_parms& p, std::string& out, size_t limit) {
  const size_t base = out.size();
  const size_t rowlen = static_cast<size_t>(row_bytes(p));
  const uint64_t comps = static_cast<uint64_t>(p.colors) * static_cast<uint64_t>(p.columns);
  const uint64_t colors = static_cast<uint64_t>(p.colors);
  size_t i = 0;
  while (i < in.size()) {
    size_t k = in.size() - i < rowlen ? in.size() - i : rowlen;
    if (!fits(out, base, k, limit)) return false;
    size_t at = out.size();
    out.append(in.data() + i, k);
    unsigned char* row = reinterpret_cast<unsigned char*>(out.data() + at);
    if (p.bpc == 8) {
      for (size_t x = static_cast<size_t>(colors); x < k; ++x)
        row[x] = static_cast<unsigned char>(row[x] + row[x - colors]);
    } else if (p.bpc == 16) {
      // Components are big-endian pairs; a lone last byte of a short row stays as it is.
      uint64_t have = k / 2 < comps ? k / 2 : comps;
      for (uint64_t c = colors; c < have; ++c) {
        unsigned v = (row[2 * c] << 8 | row[2 * c + 1]) +
                     (row[2 * (c - colors)] << 8 | row[2 * (c - colors) + 1]);
        row[2 * c] = static_cast<unsigned char>(v >> 8);
        row[2 * c + 1] = static_cast<unsigned char>(v);
      }
    } else {
      // 1, 2 or 4 bits per component, packed from the most significant bit; the bits after the
      // last component of a row are padding and stay untouched.
      const unsigned bpc = static_cast<unsigned>(p.bpc);
      const unsigned mask = (1u << bpc) - 1;
      uint64_t have = static_cast<uint64_t>(k) * 8 / bpc;
      if (have > comps) have = comps;
      auto get = [&](uint64_t c) {
        uint64_t bit = c * bpc;
        return (row[bit / 8] >> (8 - bpc - bit % 8)) & mask;
      };
      for (uint64_t c = colors; c < have; ++c) {
        unsigned v = (get(c) + get(c - colors)) & mask;
        uint64_t bit = c * bpc;
        unsigned shift = static_cast<unsigned>(8 - bpc - bit % 8);
        row[bit / 8] = static_cast<unsigned char>((row[bit / 8] & ~(mask << shift)) | (v << shift));
      }
    }
    i += k;
  }
  return true;
}

}  // namespace

bool predictor_decode(std::string_view in, const predictor_parms& p, std::string& out,
                      size_t limit) {
  if (!predictor_valid(p)) return false;
  if (p.predictor == 1) {
    if (!fits(out, out.size(), in.size(), limit)) return false;
    out.append(in);
    return true;
  }
  if (p.predictor == 2) return tiff_decode(in, p, out, limit);
  return png_decode(in, p, out, limit);
}

}  // namespace qm
