// Stream dictionaries: where a dictionary ends and whether "stream" follows, its /Length, and the
// copy of a whole dictionary.
#pragma once
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "text/scan.h"

namespace qm {

// A copy of the dictionary opening with "<<" at pos, through its balancing ">>", literal strings
// and comments skipped while balancing (and kept in the copy). False when t[pos] is no "<<" or the
// dictionary does not close before len.
bool dict_text_at(const char* t, pos_t len, pos_t pos, std::string* out);

// Position of the "stream" keyword after the dictionary opening with "<<" at pos, or -1.
pos_t dict_stream_kw(const char* t, pos_t len, pos_t pos);

// The /Length of the dictionary span [start, end): a direct value, or the object number of an
// indirect one; each -1 when absent.
void parse_length(const char* t, pos_t len, pos_t start, pos_t end, int32_t* direct, int32_t* ref);

// One occurrence of /Length, with its "/" at k, in a span ending at end: true when it settles the
// reading (direct or ref set, or nothing when the span ends before a value), false when the next
// occurrence is to be tried (direct and ref are then -1).
bool parse_length_at(const char* t, pos_t len, pos_t k, pos_t end, int32_t* direct, int32_t* ref);

// dict_stream_kw for many dictionaries of one text, asked in increasing order (the loader asks
// once per object header). Each answer equals dict_stream_kw(t, len, pos); what differs is the
// cost on texts whose dictionaries do not close. The scan steps from byte to byte the same way
// whatever its depth, so a scan that passes over a later starting position follows, from there
// on, exactly the steps of the scan that starts there. A long scan is therefore recorded once (the
// positions where ">>" brings the depth to each level, and the bytes it stepped over inside
// strings and pairs) and a later question that lands on the record is answered from it.
struct dict_end_memo {
  struct event {
    pos_t pos;      // the "<<" or ">>"
    int32_t level;  // depth after it, counted from the start of the record
    bool close;
  };
  const char* t = nullptr;
  pos_t len = 0;
  pos_t own_walk = 4096;   // bytes one question is scanned on its own before it is recorded
  size_t max_events = 0;   // bound on the record's size; 0 chooses one from the text length
  bool active = false;     // a record exists
  bool done = false;       // the recorded scan failed or reached the end of the text at rpos
  bool capped = false;     // the record is full and is not followed further
  pos_t live = 0;          // positions before this are no longer asked about
  pos_t rpos = 0;          // the recorded scan has been followed up to here
  int32_t level = 0;       // its depth at rpos
  int32_t base_level = 0;  // its depth before the first event kept
  std::vector<event> events;
  size_t ev_head = 0;
  std::vector<std::pair<pos_t, pos_t>> gaps;  // [from, to): bytes the scan stepped over
  size_t gap_head = 0;
  std::unordered_map<int32_t, std::vector<pos_t>> closes;  // level after ">>" -> positions
};

dict_end_memo dict_end_memo_make(const char* t, pos_t len);
pos_t dict_stream_kw(dict_end_memo& m, pos_t pos);

}  // namespace qm
