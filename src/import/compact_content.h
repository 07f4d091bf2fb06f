// Page contents for compact output: kept compressed as the input stores them where that is
// safe, else compressed by a compressor that the program hands down.
#pragma once
#include <cstddef>

#include "import/xobject.h"
#include "reader/doc.h"

namespace qm {

// A zlib compressor (RFC 1950) supplied from above the library, which links none: compresses
// src[0, n) into one zlib stream at dst, which has room for cap bytes, and returns its length, or
// 0 when it does not fit or cannot be made. It is called from a job's thread and its helper
// thread at once, and must not throw.
using zlib_compress_fn = size_t (*)(void* ctx, const unsigned char* src, size_t n,
                                    unsigned char* dst, size_t cap);

struct content_compressor {
  zlib_compress_fn fn = nullptr;
  void* ctx = nullptr;
};

// The room offered to the compressor for n bytes: more than any DEFLATE encoder needs for data
// that does not compress (stored blocks cost 5 bytes per 64 KiB, the zlib wrapper 6).
inline size_t pack_room(size_t n) {
  return n + n / 128 + 64;
}

// Compresses c.bytes into c.packed (emptied first). False, with c.packed empty, when there is no
// compressor or it gives nothing: the content then goes out as it is. Only exhausted memory
// throws std::bad_alloc.
bool pack_content(const content_compressor& z, page_content& c);

// A page's content as compact output writes it: read with read_page_content_stored and, where it
// keeps no stored bytes, packed with z.
void read_page_content_compact(const doc& d, const obj_rec& o, page_content& c,
                               const content_compressor& z);

// The stream object that alone makes up the content of the page whose dictionary span is `page`:
// its /Contents is one reference "N G R", written directly or as the one element of an array,
// to an object that is a stream. Null for any other /Contents.
const obj_rec* sole_content_stream(const doc& d, const span& page);

// Reads page o's content into c exactly as read_page_content does. When the content is one stream
// (sole_content_stream) that names the Flate filter alone (flate_alone) and whose data inflate
// whole under the usual room and retry rule (inflate_into), followed by nothing but white space,
// c.stored views its zlib stream in the document's bytes: header, compressed blocks, Adler-32.
// Only exhausted memory throws std::bad_alloc, as for read_page_content.
void read_page_content_stored(const doc& d, const obj_rec& o, page_content& c);

}  // namespace qm
