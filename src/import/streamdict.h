// Stream dictionaries: where a dictionary ends and whether "stream" follows, and its /Length.
#pragma once
#include "text/scan.h"

namespace qm {

// Position of the "stream" keyword after the dictionary opening with "<<" at pos, or -1.
pos_t dict_stream_kw(const char* t, pos_t len, pos_t pos);

// The /Length of the dictionary span [start, end): a direct value, or the object number of an
// indirect one; each -1 when absent.
void parse_length(const char* t, pos_t len, pos_t start, pos_t end, int32_t* direct, int32_t* ref);

}  // namespace qm
