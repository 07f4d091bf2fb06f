// Loading one PDF file into a doc.
#pragma once
#include <string_view>

#include "reader/doc.h"
#include "text/msg.h"

namespace qm {

// Reads the file, its trailer facts, every object and the page list. Returns 0 when loaded, -1
// after writing one message into m (the doc is then empty); a file that cannot be opened (a
// folder among them: "cannot open", EISDIR) or read leaves the call's errno in m.sys_errno. Throws
// std::bad_alloc only when memory runs out where no silent fallback exists. A file of map_min bytes
// or more is read into a mapping of its own (file_data_alloc).
int doc_load(const char* path, doc& d, msg& m, size_t map_min = kFileMapMin);

// The same from bytes already in memory (takes ownership); `name` stands for the path in messages.
int doc_load_bytes(std::unique_ptr<char[]> data, int32_t len, const char* name, doc& d, msg& m);

// The same from the caller's bytes, read in place and not copied: they must stay as they are
// until the doc is released.
int doc_load_view(std::string_view bytes, const char* name, doc& d, msg& m);

// The same from an open descriptor, read whole from where it stands: a regular file up to its
// size, anything else (a pipe, a terminal, /dev/stdin) to its end. The descriptor stays open.
int doc_load_fd(int fd, const char* name, doc& d, msg& m, size_t map_min = kFileMapMin);

// The steps of loading after the file read, in the order doc_load runs them, each working on
// d.data and d.len and on d.objects (the working table until build_final_table replaces it).
// Exposed so that each can be examined on its own.
void scan_objects(doc& d);           // every "N G obj" header into the working table
void settle_streams(doc& d);         // each stream's data extent and its "endobj"
void discard_false_objects(doc& d);  // unfinished streams and objects inside stream data
void build_final_table(doc& d);      // one record per object number; sets index, max_objnum
// Trailer facts, the four steps above with the object streams expanded before the final table.
void load_object_table(doc& d);

}  // namespace qm
