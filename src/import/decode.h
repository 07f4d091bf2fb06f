// The bytes of one stream object of an input document, decoded through its filters.
#pragma once
#include <string_view>
#include <vector>

#include "import/filters.h"
#include "reader/doc.h"
#include "text/buf.h"

namespace qm {

// Returns true with *out pointing either into the document's bytes (an unfiltered stream, not
// copied) or at bytes appended to `lent` (decoded; valid until `lent` grows or is freed). Returns
// false for no stream, an empty stream, an unsupported filter chain or a decoding failure (memory
// running out while decoding counts as one, and is not thrown); `lent` then holds what it held
// before.
bool decoded_stream(const char* data, int32_t len, const obj_rec& o, buf& lent,
                    std::string_view* out);

// One decoding step of a stream's filter chain, with the parameters that apply to it.
struct filter_stage {
  filter_kind kind = filter_kind::flate;
  predictor_parms parms;
};

// The filter chain named by /Filter and /DecodeParms at the top level of the stream dictionary
// held in t[start, end). An absent /Filter (or null, or an empty array) gives an empty chain.
// Returns false when the chain cannot be decoded here: an unknown filter, an indirect /Filter or
// /DecodeParms (or parameter value), an unknown predictor or invalid predictor parameters, or
// values that are not what ISO 32000 allows there.
bool read_filter_chain(const char* t, pos_t start, pos_t end, std::vector<filter_stage>* chain);

// Whether the stream dictionary in t[start, end) names the Flate filter alone and no parameters,
// spelled out plainly: /Filter /FlateDecode or /Fl, or an array holding just one of them, and
// /DecodeParms absent, null or an empty dictionary. Such a stream's data, when they inflate whole,
// may be copied as they are under a dictionary of our own that says just /Filter /FlateDecode.
bool flate_alone(const char* t, pos_t start, pos_t end);

// Inflates the zlib stream `in`, appending to b, through inflate_growing: the first attempt
// offers 20 times the input size plus 4096 bytes (at most 1 GiB), each further one four times
// the room. Damaged data after a valid start keeps the bytes decoded before the damage. False
// with b's length unchanged when no attempt succeeds. With `whole`, also sets *whole to the
// length of the zlib stream at the start of `in` when the successful attempt read it whole
// (zlib_whole_length), else to 0.
bool inflate_into(std::string_view in, buf& b, uint64_t* whole = nullptr);

}  // namespace qm
