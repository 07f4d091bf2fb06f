// Buffers a thread keeps from one job to its next (spare.h).
#include "job/spare.h"

#include <utility>

namespace qm {
namespace {

struct spares {
  buf kept[2];
};

// One set per thread, freed when the thread ends.
spares& thread_spares() {
  thread_local spares s;
  return s;
}

}  // namespace

buf spare_take(spare_kind k) {
  buf& kept = thread_spares().kept[static_cast<int>(k)];
  buf b = std::move(kept);
  return b;
}

void spare_keep(spare_kind k, buf& b) {
  buf& kept = thread_spares().kept[static_cast<int>(k)];
  if (b.data && !kept.data && b.cap <= kSpareMaxBytes) {
    b.len = 0;
    b.data[0] = 0;
    kept = std::move(b);
  }
  buf_free(b);
}

}  // namespace qm
