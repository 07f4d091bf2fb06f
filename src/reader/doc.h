// The in-memory model of one loaded input PDF: file bytes, object table, page list.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "reader/file_data.h"
#include "text/scan.h"

namespace qm {

// One object found in the file text (a plain object) or inside an object stream (an entry).
// Positions are offsets into doc::data; -1 where absent. An entry has every position -1 and its
// own text in a decoded object-stream block owned by the document.
struct obj_rec {
  int32_t num = 0;
  int32_t obj_start = -1;   // first digit of the object number in "N G obj"
  int32_t dict_start = -1;  // the value's first byte when it is '<', else -1
  int32_t stream_pos = -1;  // the "stream" keyword
  int32_t data_start = -1;  // first byte of the stream data
  int32_t data_end = -1;    // one past the last byte of the stream data
  int32_t endobj_pos = -1;  // the "endobj" keyword
  int32_t has_stream = 0;
  int32_t in_objstm = 0;
  const char* text = nullptr;  // entry: its own text
  int32_t text_len = 0;
};

struct page_rec {
  int32_t num = 0;               // object number of the page
  int32_t parent = -1;           // the /Pages node whose /Kids listed it; -1 for a root page
  int32_t inherited_rotate = 0;  // nearest ancestor's own /Rotate, 0..359
  double x0 = 0, y0 = 0, width = 0, height = 0;  // visible box: origin and size
  int32_t rotate = 0;                            // effective rotation, set by the job
};

struct doc {
  file_data data;  // the whole file
  int32_t len = 0;
  int32_t trailer_root = -1;
  int32_t trailer_info = -1;  // object number named by /Info, as /Root is found; -1 when none
  int32_t encrypted = 0;
  std::vector<obj_rec> objects;
  std::vector<std::unique_ptr<char[]>> blocks;  // decoded object streams
  std::vector<page_rec> pages;
  int32_t catalog = -1;
  int32_t max_objnum = 0;
  // Object number -> index of the first record with that number in `objects`, or -1. Built with
  // the final table; lookups give exactly the record a scan from index 0 would give.
  std::vector<int32_t> index;
};

// Releases everything the document owns and resets it; harmless on an empty doc, and twice.
void doc_free(doc& d);

// The first record with this number, or nullptr (number 0 and negatives are never found).
const obj_rec* doc_find(const doc& d, int32_t num);

// Rebuilds `index` (and max_objnum) from `objects`.
void doc_index(doc& d);

// The stretch of text in which an object's keys are looked up: an entry's own text from 0, or for
// a plain object the file bytes from dict_start to the first of stream_pos, endobj_pos, len that
// is greater than 0. Returns false for a plain object without a dictionary.
struct span {
  const char* t = nullptr;
  pos_t start = 0;
  pos_t end = 0;
};
bool dict_span(const char* data, int32_t len, const obj_rec& o, span* s);

// /Type of an object: 1 page, 2 page-tree node, 0 anything else.
int obj_type(const char* data, int32_t len, const obj_rec& o);

}  // namespace qm
