// Lexical scanning of PDF text in place: positions are signed 32-bit offsets from the first byte
// of the buffer (not from the search start), end bounds are exclusive, -1 means not found.
#pragma once
#include <cstdint>
#include <string_view>

namespace qm {

using pos_t = int32_t;

// PDF white space: NUL, TAB, LF, FF, CR, SPACE. Nothing else (not VT).
inline bool is_ws(unsigned char c) {
  return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
}
// The classic C locale's isspace: SPACE, TAB, LF, VT, FF, CR (not NUL).
inline bool is_cspace(unsigned char c) {
  return c == 32 || (c >= 9 && c <= 13);
}
inline bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}
// ASCII letters and digits only; bytes 128 to 255 never count.
inline bool is_alnum(unsigned char c) {
  return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
// Bytes that may continue a name key: alphanumerics and + - _.
inline bool is_name_cont(unsigned char c) {
  return is_alnum(c) || c == '+' || c == '-' || c == '_';
}
// PDF delimiters ( ) < > [ ] { } / %.
inline bool is_delim(unsigned char c) {
  return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
         c == '}' || c == '/' || c == '%';
}

pos_t skip_ws(const char* t, pos_t p, pos_t end);
pos_t find_kw(const char* t, pos_t end, pos_t start, std::string_view kw);
int kw_at(const char* t, pos_t p, pos_t end, std::string_view kw);
pos_t find_name(const char* t, pos_t len, pos_t start, pos_t end, std::string_view name);
pos_t find_name_top(const char* t, pos_t len, pos_t start, pos_t end, std::string_view name);
int32_t parse_int_at(const char* t, pos_t end, pos_t* p);
int32_t read_int_adv(const char* t, pos_t end, pos_t* p);

}  // namespace qm
