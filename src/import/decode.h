// The bytes of one stream object of an input document, decoded through its filters.
#pragma once
#include <string_view>

#include "reader/doc.h"
#include "text/buf.h"

namespace qm {

// Returns true with *out pointing either into the document's bytes (an unfiltered stream, not
// copied) or at bytes appended to `lent` (decoded; valid until `lent` grows or is freed). Returns
// false for no stream, an empty stream, an unsupported filter chain or a decoding failure.
bool decoded_stream(const char* data, int32_t len, const obj_rec& o, buf& lent,
                    std::string_view* out);

}  // namespace qm
