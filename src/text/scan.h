// Lexical scanning of PDF text in place: positions are signed 32-bit offsets from the first byte
// of the buffer (not from the search start), end bounds are exclusive, -1 means not found.
#pragma once
#include <cstdint>
#include <string_view>

namespace qm {

using pos_t = int32_t;

// The largest object number PDF allows (2^23 - 1); larger numbers never reach a finished object
// table.
inline constexpr int32_t kMaxObjNum = 8388607;

// The byte at p, as an unsigned value for the byte classes below.
inline unsigned char byte_at(const char* t, pos_t p) {
  return static_cast<unsigned char>(t[p]);
}

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
// PDF regular characters: neither white space nor a delimiter. Names and keywords are made of
// them, and two of them side by side belong to one token.
inline bool is_regular(unsigned char c) {
  return !is_ws(c) && !is_delim(c);
}

pos_t skip_ws(const char* t, pos_t p, pos_t end);
pos_t find_kw(const char* t, pos_t end, pos_t start, std::string_view kw);
int kw_at(const char* t, pos_t p, pos_t end, std::string_view kw);
pos_t find_name(const char* t, pos_t len, pos_t start, pos_t end, std::string_view name);
pos_t find_name_top(const char* t, pos_t len, pos_t start, pos_t end, std::string_view name);
int32_t parse_int_at(const char* t, pos_t end, pos_t* p);
int32_t read_int_adv(const char* t, pos_t end, pos_t* p);

// The integer value of the name key /name whose "/" is at key: past the name and white space, as
// parse_int_at reads it; -1 when there is none before end.
int32_t int_after_key(const char* t, pos_t key, std::string_view name, pos_t end);

// The comment whose "%" is at p: the position of the CR or LF that ends it, or end.
pos_t skip_comment(const char* t, pos_t p, pos_t end);

// White space and comments from p: the first position that is neither, or end.
pos_t skip_ws_comments(const char* t, pos_t p, pos_t end);

// The literal string whose "(" is at p: the position after the ")" that balances it, or -1 when
// the string does not close before end. Nested parentheses count, and a backslash takes the byte
// after it along unexamined.
pos_t skip_literal_string(const char* t, pos_t p, pos_t end);

// --- Object headers and references ------------------------------------------------------------

// What the bytes between the parts of an object header "N G obj" may be, for a reader that steps
// over a header.
enum class header_space {
  pdf,           // PDF white space only
  pdf_or_cspace  // PDF white space or the C locale's (VT too), as the object scan allows
};

// Whether a reader that steps over an object header insists on the keyword "obj".
enum class obj_keyword { optional, required };

// From the first digit of an object header "N G obj" at p, up to end: the position of the
// object's value, past the object number, the generation number (which may be missing), the
// keyword "obj" and the PDF white space after it. When "obj" does not stand after the numbers:
// -1 if it is required, else the position where it was looked for.
pos_t skip_obj_header(const char* t, pos_t p, pos_t end, obj_keyword kw,
                      header_space sp = header_space::pdf);

// Whether an indirect reference needs its generation number.
enum class ref_gen {
  required,  // "N G R", as a dictionary value is written
  optional   // "N G R" or "N R", as a loose reference in copied text is taken
};

// After an object number that ends at p: the position just past the rest of an indirect
// reference (white space, the generation number, white space, and an "R" that ends the text or is
// followed by a byte that is not a letter or digit), or -1 when no reference follows.
pos_t ref_tail_end(const char* t, pos_t p, pos_t end, ref_gen gen);

// A value that is an integer or a reference "N G R": the integer at *p as parse_int_at reads it
// (-1 with *p unchanged when there is none), with *ref telling whether the rest of a reference
// follows it, so that it is an object number. *p is left after the integer either way.
int32_t parse_int_or_ref(const char* t, pos_t end, pos_t* p, bool* ref);

// One element of an array of references, at a digit at *p: "N G R" where the generation number
// and the "R" may each be missing, and an "R" is taken whatever follows it. Returns N as
// parse_int_at reads it and moves *p past the element and the white space after it.
int32_t read_array_ref(const char* t, pos_t end, pos_t* p);

}  // namespace qm
