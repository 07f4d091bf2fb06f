// The standard stream filters other than Flate, and the PNG and TIFF predictors.
//
// Each decoder reads its whole input and appends what it produces to `out`. It returns false on
// data it cannot decode and when the bytes it would append exceed `limit` (1 GiB unless a caller
// says otherwise); on false, `out` may hold part of the result and the caller discards it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

// The most bytes that one stage of a filter chain may produce.
inline constexpr size_t kStageMax = 0x40000000;

enum class filter_kind { flate, lzw, ahx, a85, rl };

// The filter a name stands for: the full names of ISO 32000 and their abbreviations (Fl, LZW,
// AHx, A85, RL). `name` is the name's text after the slash, #xx escapes not yet decoded. False for
// any other filter.
bool filter_by_name(std::string_view name, filter_kind* k);

// ASCIIHexDecode: pairs of hex digits, white space ignored, '>' ends the data; an odd last digit
// is completed with 0. Any other byte fails.
bool ahx_decode(std::string_view in, std::string& out, size_t limit = kStageMax);

// ASCII85Decode: an optional leading "<~", groups of five bytes '!'..'u' (base 85, most
// significant first) giving four bytes, 'z' for four zero bytes at the start of a group, white
// space ignored, "~>" (or the end of the data) ends it. A final group of n < 5 bytes gives n - 1
// bytes, decoded as if padded with 'u'. A group above 2^32 - 1 or any other byte fails.
bool a85_decode(std::string_view in, std::string& out, size_t limit = kStageMax);

// RunLengthDecode: a length byte L, then L + 1 literal bytes (L < 128) or one byte repeated
// 257 - L times (L > 128); 128 ends the data. Data cut short yields what is there.
bool rl_decode(std::string_view in, std::string& out, size_t limit = kStageMax);

// LZWDecode: codes of 9 to 12 bits, most significant bit first; 256 clears the table, 257 ends
// the data. With early_change 1 the code width grows one code early (the default of ISO 32000).
// A full table (4096 entries) stays as it is and codes stay 12 bits wide. A code that is not yet
// in the table, other than the one being defined, fails. Bits left over at the end are ignored.
bool lzw_decode(std::string_view in, int early_change, std::string& out, size_t limit = kStageMax);

// /DecodeParms of a Flate or LZW stage. predictor 1 means none, 2 TIFF, 10 to 15 PNG.
struct predictor_parms {
  int32_t predictor = 1;
  int32_t colors = 1;
  int32_t bpc = 8;  // BitsPerComponent: 1, 2, 4, 8 or 16
  int32_t columns = 1;
  int32_t early_change = 1;  // LZW only
};

// True when the parameters name a predictor this library undoes (or none) with valid values.
bool predictor_valid(const predictor_parms& p);

// Undoes the predictor (predictor_valid must hold; predictor 1 copies the input). PNG: every row
// starts with its own tag 0 to 4 (None, Sub, Up, Average, Paeth); a tag above 4 fails. A short last
// row is decoded as far as its bytes go and not padded.
bool predictor_decode(std::string_view in, const predictor_parms& p, std::string& out,
                      size_t limit = kStageMax);

}  // namespace qm
