// Object streams: decoding them and adding the objects they hold to the object table.
#pragma once
#include "reader/doc.h"
#include "reader/search_memo.h"

namespace qm {

// True for a plain stream record whose dictionary names /ObjStm. The second form remembers its
// search for the next record (see search_memo.h).
bool is_objstm_container(const char* data, int32_t len, const obj_rec& o);
bool is_objstm_container(const char* data, int32_t len, const obj_rec& o, search_memo& m);

// Decodes every object stream among the records present on entry and appends one entry record
// per object it holds. Decoded texts are kept in d.blocks. Streams that cannot be read add
// nothing.
void expand_objstms(doc& d);

}  // namespace qm
