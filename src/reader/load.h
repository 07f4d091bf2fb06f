// Loading one PDF file into a doc.
#pragma once
#include "reader/doc.h"

namespace qm {

// Reads the file, its trailer facts, every object and the page list. Returns 0 when loaded, -1
// after writing one message with set_error (the doc is then empty). Throws std::bad_alloc only
// when memory runs out where no silent fallback exists.
int doc_load(const char* path, doc& d);

// The same from bytes already in memory (takes ownership); `name` stands for the path in messages.
int doc_load_bytes(std::unique_ptr<char[]> data, int32_t len, const char* name, doc& d);

}  // namespace qm
