// The output writer: lays the PDF 1.4 file out in memory and writes it, in one piece at the end
// or, for a large job, in stretches as they are finished (out_stream.h).
//
// Object numbering, with T output pages, B background and F foreground pages:
//   1 catalog, 2 page tree, 3 + t page t, T + 3 + t content stream of page t,
//   2T + 3 + t background XObject of page t (t < B),
//   2T + 3 + B the stamp (stamp mode) or 2T + 3 + B + t foreground XObject of page t (t < F),
//   then the copied background resources and the copied foreground resources, consecutively.
// Objects appear in ascending order; a number whose object is not written is a free entry.
#include "job/writer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <initializer_list>
#include <string_view>

#include "job/placement.h"
#include "job/safe_write.h"
#include "reader/streamdict.h"
#include "text/numfmt.h"

namespace qm {

namespace {

void put(buf& b, std::initializer_list<std::string_view> parts) {
  for (std::string_view s : parts) buf_str(b, s);
}

// Records where object n starts.
void mark(overlay_job& j, int32_t n) {
  j.obj_offset[static_cast<size_t>(n)] = out_pos(j);
}

}  // namespace

void emit_resource_obj(const doc& d, int32_t old, int32_t nw, const renum_map& m, buf& out,
                       std::vector<int64_t>& offsets, int64_t base) {
  const obj_rec* o = doc_find(d, old);
  if (o == nullptr) return;
  if (nw >= 0) {
    if (offsets.size() <= static_cast<size_t>(nw)) offsets.resize(static_cast<size_t>(nw) + 1, -1);
    offsets[static_cast<size_t>(nw)] = base + static_cast<int64_t>(out.len);
  }
  buf_str(out, fmt_int(nw).view());
  buf_str(out, " 0 obj\n");
  const char* data = d.data.get();
  if (o->in_objstm) {
    if (o->text != nullptr && o->text_len > 0)
      buf_str(out, remap_res_text({o->text, static_cast<size_t>(o->text_len)}, m));
    buf_str(out, "\nendobj\n");
    return;
  }
  if (o->has_stream) {
    std::string dict;
    if (o->dict_start >= 0 && dict_text_at(data, d.len, o->dict_start, &dict))
      buf_str(out, remap_res_text(dict, m));
    else
      buf_str(out, "<< >>");
    buf_str(out, "\nstream\n");
    // The data travel as they are, still encoded; /Length is left as written.
    if (o->data_start >= 0 && o->data_end <= d.len && o->data_end > o->data_start)
      buf_append(out, data + o->data_start, static_cast<size_t>(o->data_end - o->data_start));
    buf_str(out, "\nendstream\nendobj\n");
    return;
  }
  // Any other object: its value, from after "N G obj" up to "endobj", when it is at most
  // 2^28 - 1 bytes long.
  constexpr int64_t kMaxCopiedValue = 268435455;
  pos_t p = o->obj_start;
  bool copied = false;
  if (p >= 0 && p < d.len) {
    p = skip_obj_header(data, p, d.len, obj_keyword::optional);
    const int64_t n = static_cast<int64_t>(o->endobj_pos) - p;
    if (o->endobj_pos > 0 && o->endobj_pos <= d.len && n >= 1 && n <= kMaxCopiedValue) {
      buf_str(out, remap_res_text({data + p, static_cast<size_t>(n)}, m));
      copied = true;
    }
  }
  if (!copied) buf_str(out, "<< >>");
  buf_str(out, "\nendobj\n");
}

bool offsets_fit_xref(const std::vector<int64_t>& offsets) {
  for (int64_t off : offsets)
    if (off > kMaxXrefOffset) return false;
  return true;
}

bool plan_objects(overlay_job& j) {
  const int64_t T = j.total_pages, B = j.bg_count, F = j.fg_count;
  const int64_t first_xobj = 2 * T + 3;
  j.bg_xobj_num.assign(static_cast<size_t>(T), -1);
  for (int64_t t = 0; t < B; ++t)
    j.bg_xobj_num[static_cast<size_t>(t)] = static_cast<int32_t>(first_xobj + t);
  int64_t first_res;
  if (j.stamp) {
    j.stamp_xobj_num = static_cast<int32_t>(first_xobj + B);
    first_res = first_xobj + B + 1;
  } else {
    j.fg_xobj_num.assign(static_cast<size_t>(T), -1);
    for (int64_t t = 0; t < F; ++t)
      j.fg_xobj_num[static_cast<size_t>(t)] = static_cast<int32_t>(first_xobj + B + t);
    first_res = first_xobj + B + F;
  }
  const int64_t count =
      first_res + static_cast<int64_t>(j.bg_res.size()) + static_cast<int64_t>(j.fg_res.size());
  if (count > INT32_MAX)
    return job_fail(j, job_part::output, "too many objects for one output file: %ld",
                    static_cast<long>(count));
  map_build(j.bg_map, j.bg_res, static_cast<int32_t>(first_res));
  map_build(j.fg_map, j.fg_res,
            static_cast<int32_t>(first_res + static_cast<int64_t>(j.bg_res.size())));
  j.obj_count = static_cast<int32_t>(count);
  j.obj_offset.assign(static_cast<size_t>(count), -1);
  return true;
}

void write_head(overlay_job& j) {
  const int32_t T = j.total_pages;
  buf& out = j.out;
  // Room for the whole beginning at once, unless it goes to the writer in stretches as it grows.
  if (j.stream)
    buf_reserve(out, std::min<size_t>(4096 + j.contents.size() + static_cast<size_t>(T) * 320,
                                      2 * j.stream->chunk_bytes));
  else
    buf_reserve(out, 4096 + j.contents.size() + static_cast<size_t>(T) * 320);

  // Header: the version line, then a comment of four bytes above 127 that marks the file binary.
  buf_str(out, "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");

  mark(j, 1);
  if (j.keep_interactive)
    put(out, {"1 0 obj\n<< /Type /Catalog /Pages 2 0 R", j.inter.catalog, " >>\nendobj\n"});
  else
    buf_str(out, "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");

  mark(j, 2);
  buf_str(out, "2 0 obj\n<< /Type /Pages /Kids [");
  for (int32_t t = 0; t < T; ++t) put(out, {fmt_int(3 + static_cast<int64_t>(t)).view(), " 0 R "});
  put(out, {"] /Count ", fmt_int(T).view(), " >>\nendobj\n"});

  // Page objects: the media box is the output page size; /Bg and /Fg name the layers' XObjects.
  const numtext op = fmt_num(static_cast<double>(j.opacity), 32);
  for (int32_t t = 0; t < T; ++t) {
    const int64_t num = 3 + static_cast<int64_t>(t);
    double w, h;
    output_page_size(j, t, &w, &h);
    mark(j, static_cast<int32_t>(num));
    put(out, {fmt_int(num).view(), " 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 ",
              fmt_num(w).view(), " ", fmt_num(h).view(), "] /Contents ",
              fmt_int(static_cast<int64_t>(T) + 3 + t).view(),
              " 0 R\n   /Resources <<\n     /XObject <<"});
    if (has_bg_layer(j, t) && j.bg_xobj_num[static_cast<size_t>(t)] > 0)
      put(out, {" /Bg ", fmt_int(j.bg_xobj_num[static_cast<size_t>(t)]).view(), " 0 R"});
    if (has_fg_layer(j, t)) {
      const int32_t fnum = xobj_num_of(j, job_foreground(j), t);
      if (fnum > 0) put(out, {" /Fg ", fmt_int(fnum).view(), " 0 R"});
      buf_str(out, " >>\n");
      if (j.translucent)
        put(out, {"     /ExtGState << /GSovl << /Type /ExtGState /ca ", op.view(), " /CA ",
                  op.view(), " >> >>\n"});
    } else {
      buf_str(out, " >>\n");
    }
    buf_str(out, "   >>\n");
    // The page's annotations, on a line of their own; a page without any is written as ever.
    if (j.keep_interactive) {
      const std::string annots = interactive_annots_text(j.inter.plan, t, j.inter.first_new);
      if (!annots.empty()) put(out, {annots, "\n"});
    }
    buf_str(out, ">>\nendobj\n");
    output_hand_over(j.stream.get(), out, &j.out_base);
  }

  // Content streams; each line ends in a newline, so "endstream" begins a line.
  for (int32_t t = 0; t < T; ++t) {
    const int64_t num = static_cast<int64_t>(T) + 3 + t;
    const size_t from = t == 0 ? 0 : j.content_end[static_cast<size_t>(t) - 1];
    const std::string_view text =
        std::string_view(j.contents).substr(from, j.content_end[static_cast<size_t>(t)] - from);
    mark(j, static_cast<int32_t>(num));
    put(out, {fmt_int(num).view(), " 0 obj\n<< /Length ",
              fmt_int(static_cast<int64_t>(text.size())).view(), " >>\nstream\n", text,
              "endstream\nendobj\n"});
    output_hand_over(j.stream.get(), out, &j.out_base);
  }
  // The contents are in the output now; their own copy is no longer needed.
  std::string().swap(j.contents);
}

bool write_output(overlay_job& j, const output_target& to) {
  buf& out = j.out;
  const char* path = to.path;

  // Copied resource objects, renumbered, background before foreground, in map order. Nothing
  // reads an input document after its copies: its bytes and tables go back before the output
  // grows further.
  for (const job_input& in : {job_background(j), job_foreground(j)}) {
    for (size_t k = 0; k < in.map.old_num.size(); ++k) {
      emit_resource_obj(in.d, in.map.old_num[k], in.map.new_num[k], in.map, out, j.obj_offset,
                        j.out_base);
      output_hand_over(j.stream.get(), out, &j.out_base);
    }
    doc_free(in.d);
  }

  interactive_write(j);

  // Cross-reference table: one subsection from 0, entries of exactly 20 bytes. Positions have
  // ten digits, so an object that starts at 10^10 or beyond cannot be described.
  const int64_t xref_pos = out_pos(j);
  if (!offsets_fit_xref(j.obj_offset))
    return job_fail(j, job_part::output,
                    "output too large for %s: objects beyond byte 9999999999 cannot be listed in "
                    "the cross-reference table",
                    path);
  put(out, {"xref\n0 ", fmt_int(j.obj_count).view(), "\n0000000000 65535 f \n"});
  for (int32_t n = 1; n < j.obj_count; ++n) {
    const int64_t off = j.obj_offset[static_cast<size_t>(n)];
    if (off >= 0)
      put(out, {fmt_int010(off).view(), " 00000 n \n"});
    else
      buf_str(out, "0000000000 00000 f \n");
  }

  put(out, {"trailer\n<< /Size ", fmt_int(j.obj_count).view(), " /Root 1 0 R", j.inter.info,
            " >>\nstartxref\n", fmt_int(xref_pos).view(), "\n%%EOF\n"});

  if (to.bytes) {
    to.bytes->resize(out.len);
    copy_bytes(to.bytes->data(), out.data, out.len);
    return true;
  }
  if (to.sink) {
    to.sink(to.context, out.view());
    return true;
  }
  errno = 0;
  write_result done;
  if (to.fd >= 0)
    done = write_all(to.fd, out.view()) ? write_result::ok : write_result::write_error;
  else
    done = j.stream ? output_finish(*j.stream, out) : safe_write(path, out.view());
  const int err = errno;  // of the call that failed, read before the message is formatted
  switch (done) {
    case write_result::cannot_open:
      job_fail(j, job_part::output, "cannot open %s for writing", path);
      j.err.sys_errno = err;
      return false;
    case write_result::write_error:
      job_fail(j, job_part::output, "write error on %s", path);
      j.err.sys_errno = err;
      return false;
    case write_result::ok:
      break;
  }
  return true;
}

}  // namespace qm
