// Encoders for the stream filters and predictors, for building test fixtures: each is the plain
// textbook encoder of ISO 32000's filter, written independently of the library's decoders.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace qmtest {

// LZW as PDF writes it: 9- to 12-bit codes, most significant bit first, starting with a clear code
// and ending with EOD. The code width grows when the decoder's table reaches 511, 1023, 2047
// entries with early change (512, 1024, 2048 without). When the table is full the encoder either
// emits a clear code and starts afresh (clear_when_full) or goes on with 12-bit codes and adds
// nothing.
inline std::string lzw_encode(std::string_view in, int early = 1, bool clear_when_full = true) {
  std::string out;
  uint32_t acc = 0;
  int nacc = 0;
  auto put = [&](int code, int width) {
    acc = (acc << width) | static_cast<uint32_t>(code);
    nacc += width;
    while (nacc >= 8) {
      out.push_back(static_cast<char>(acc >> (nacc - 8)));
      nacc -= 8;
    }
    acc &= (1u << nacc) - 1;
  };
  // The decoder reads each code after adding the entry of the code before it, so the width of a
  // code is fixed by the encoder's table size less one.
  auto width = [early](int enc_next) {
    int v = enc_next - 1 + early;
    if (enc_next - 1 < 258) v = 258 + early;
    return v < 512 ? 9 : v < 1024 ? 10 : v < 2048 ? 11 : 12;
  };
  std::map<std::pair<int, unsigned char>, int> table;
  int next = 258;
  put(256, 9);
  int w = -1;
  for (unsigned char c : in) {
    if (w < 0) {
      w = c;
      continue;
    }
    auto it = table.find({w, c});
    if (it != table.end()) {
      w = it->second;
      continue;
    }
    put(w, width(next));
    if (next < 4096) {
      table[{w, c}] = next++;
    }
    if (next == 4096 && clear_when_full) {
      put(256, width(next));
      table.clear();
      next = 258;
    }
    w = c;
  }
  if (w >= 0) {
    put(w, width(next));
    if (next < 4096) ++next;
  }
  put(257, width(next));
  if (nacc > 0) put(0, 8 - nacc);
  return out;
}

// ASCII85 with the closing "~>".
inline std::string a85_encode(std::string_view in) {
  std::string out;
  size_t i = 0;
  for (; i + 4 <= in.size(); i += 4) {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v = v << 8 | static_cast<unsigned char>(in[i + k]);
    if (v == 0) {
      out += 'z';
      continue;
    }
    char g[5];
    for (int k = 4; k >= 0; --k) {
      g[k] = static_cast<char>('!' + v % 85);
      v /= 85;
    }
    out.append(g, 5);
  }
  size_t rest = in.size() - i;
  if (rest > 0) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k)
      v = v << 8 | (k < rest ? static_cast<unsigned char>(in[i + k]) : 0u);
    char g[5];
    for (int k = 4; k >= 0; --k) {
      g[k] = static_cast<char>('!' + v % 85);
      v /= 85;
    }
    out.append(g, rest + 1);
  }
  return out + "~>";
}

inline std::string ahx_encode(std::string_view in) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : in) {
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out + ">";
}

// RunLength: runs of 3 or more equal bytes as repeats, everything else as literals.
inline std::string rl_encode(std::string_view in) {
  std::string out;
  size_t i = 0;
  while (i < in.size()) {
    size_t r = 1;
    while (i + r < in.size() && in[i + r] == in[i] && r < 128) ++r;
    if (r >= 3) {
      out += static_cast<char>(257 - r);
      out += in[i];
      i += r;
      continue;
    }
    size_t j = i;
    while (j < in.size() && j - i < 128) {
      if (j + 2 < in.size() && in[j] == in[j + 1] && in[j] == in[j + 2]) break;
      ++j;
    }
    out += static_cast<char>(j - i - 1);
    out.append(in.data() + i, j - i);
    i = j;
  }
  return out + static_cast<char>(128);
}

// PNG prediction of rows of rowlen bytes with bpp bytes per pixel; row k uses the tag that
// tag_of(k) gives. A short last row is encoded as far as it goes.
template <class TagOf>
std::string png_encode(std::string_view in, size_t rowlen, size_t bpp, TagOf tag_of) {
  std::string out;
  std::string prior(rowlen, '\0');
  size_t row = 0;
  for (size_t i = 0; i < in.size(); i += rowlen, ++row) {
    size_t k = in.size() - i < rowlen ? in.size() - i : rowlen;
    int tag = tag_of(row);
    out += static_cast<char>(tag);
    auto cur = [&](size_t x) { return static_cast<int>(static_cast<unsigned char>(in[i + x])); };
    auto up = [&](size_t x) { return static_cast<int>(static_cast<unsigned char>(prior[x])); };
    for (size_t x = 0; x < k; ++x) {
      int a = x >= bpp ? cur(x - bpp) : 0, b = up(x), c = x >= bpp ? up(x - bpp) : 0;
      int pred = 0;
      if (tag == 1) pred = a;
      if (tag == 2) pred = b;
      if (tag == 3) pred = (a + b) / 2;
      if (tag == 4) {
        int p = a + b - c, pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p,
            pc = p > c ? p - c : c - p;
        pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
      }
      out += static_cast<char>(cur(x) - pred);
    }
    prior.assign(in.data() + i, k);
    prior.resize(rowlen, '\0');
  }
  return out;
}

// TIFF predictor 2 for 8 or 16 bits per component.
inline std::string tiff_encode(std::string_view in, size_t rowlen, size_t colors, int bpc) {
  std::string out(in);
  const size_t step = colors * (bpc / 8);
  for (size_t i = 0; i < in.size(); i += rowlen) {
    size_t k = in.size() - i < rowlen ? in.size() - i : rowlen;
    if (bpc == 8) {
      for (size_t x = k; x-- > step;) out[i + x] = static_cast<char>(in[i + x] - in[i + x - step]);
    } else {
      for (size_t x = k / 2 * 2; x >= step + 2; x -= 2) {
        size_t p = i + x - 2;
        unsigned v =
            (static_cast<unsigned char>(in[p]) << 8 | static_cast<unsigned char>(in[p + 1])) -
            (static_cast<unsigned char>(in[p - step]) << 8 |
             static_cast<unsigned char>(in[p - step + 1]));
        out[p] = static_cast<char>(v >> 8);
        out[p + 1] = static_cast<char>(v);
      }
    }
  }
  return out;
}

}  // namespace qmtest
