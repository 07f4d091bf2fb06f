// The job's side of keeping links, annotations, forms, bookmarks and document information: which
// input pages are shown where, and the texts the writer adds for them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "import/interactive.h"
#include "text/buf.h"

namespace qm {

struct overlay_job;

// The part of a job record that carries the interactive features (empty when the job does not).
struct interactive_part {
  interactive_plan plan;
  int32_t first_new = 0;           // output number of the first new object
  std::vector<std::string> texts;  // each new object's text, made before the inputs are released
  std::string catalog, info;       // the catalog's added entries, the trailer's /Info
};

// Once the pages' resources are gathered (and before their closures): reads what the pages and
// documents carry and adds the objects it names to the seeds of each closure.
void interactive_collect(overlay_job& j);

// Once the objects are numbered: numbers the new objects after everything else and makes every
// text the writer needs.
void interactive_number(overlay_job& j);

// Appends the new objects to the output, recording their positions.
void interactive_write(overlay_job& j);

}  // namespace qm
