// quiremark._native: one overlay job per call, run with the interpreter lock released.
//
// The Python side (quiremark/_job.py) checks every argument and hands over plain values: the
// inputs as a name plus, for a PDF in memory, any object with the buffer interface; the output as
// a path or None (the PDF comes back as bytes); the options as a dict. The job reports its own
// outcome, so jobs on several threads run at once and each gets its own message.
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "job/run.h"
#include "job/spare.h"
#include "text/buf.h"
#include "zlib_deflate.h"

namespace py = pybind11;

namespace {

// Every keyword option: the name Python uses and how it sets the job's options (and "_batch",
// which only the package sets). The Python side has already checked the value; None leaves the
// default.
struct option {
  const char* name;
  void (*set)(qm::job_options&, py::handle value);
};

constexpr option kOptions[] = {
    {"underlay", [](qm::job_options& o, py::handle v) { o.mode = v.cast<bool>() ? 1 : 0; }},
    // Not a keyword option: set by the batch functions for each of their jobs, which run side by
    // side on the batch's threads and so start no helper threads of their own.
    {"_batch", [](qm::job_options& o, py::handle v) { o.helper_threads = !v.cast<bool>(); }},
    {"opacity",
     [](qm::job_options& o, py::handle v) {
       if (!v.is_none()) o.opacity = v.cast<float>();
     }},
    // Compact output is compressed by libdeflate, as in the command-line tool.
    {"compact",
     [](qm::job_options& o, py::handle v) {
       o.compact = v.cast<bool>();
       o.compress = o.compact ? qmdeflate::zlib_compress : nullptr;
     }},
    {"keep_interactive",
     [](qm::job_options& o, py::handle v) { o.keep_interactive = v.cast<bool>(); }},
};

void set_option(qm::job_options& o, const std::string& name, py::handle value) {
  for (const option& k : kOptions) {
    if (name == k.name) {
      k.set(o, value);
      return;
    }
  }
  throw py::type_error("unknown job option '" + name + "'");
}

// A PDF in memory: the caller's bytes, read in place. Holding the buffer keeps the object alive
// and, for a bytearray, stops it from being resized while the job reads it without the lock.
class held_bytes {
 public:
  explicit held_bytes(py::handle obj) {
    if (obj.is_none()) return;
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    held_ = true;
  }
  held_bytes(const held_bytes&) = delete;
  held_bytes& operator=(const held_bytes&) = delete;
  ~held_bytes() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool held() const { return held_; }
  std::string_view bytes() const {
    return {static_cast<const char*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

const char* role_name(qm::job_part part) {
  switch (part) {
    case qm::job_part::background:
      return "background";
    case qm::job_part::foreground:
      return "foreground";
    case qm::job_part::output:
      return "output";
    case qm::job_part::none:
      break;
  }
  return nullptr;
}

// Outputs up to this size get their bytes object before the job (run() below).
constexpr size_t kPreallocMax = size_t{16} << 20;

// How large the bytes object made before a job is (see run()), given the size of the thread's
// last PDF. Up to 96 KiB a quarter more and a page, so that a PDF a little larger than the last
// one still fits. From there on no more than the last one's pages: glibc serves a block of 128
// KiB or more from a mapping of its own (faulted in page by page as it is filled, unmapped when
// freed) unless it is smaller than a mapped block freed before, and the last PDF's bytes object,
// freed by now, is the block that sets that bound; asking for more would map every job's anew.
size_t preallocated_size(size_t last) {
  constexpr size_t kPage = 4096;
  constexpr size_t kHeaders = 64;  // the bytes object's header and malloc's, with room to spare
  if (last < (size_t{96} << 10)) return last + last / 4 + kPage;
  return (last + kHeaders + kPage - 1) / kPage * kPage - kHeaders;
}

// Where a job's PDF goes when run() returns it: into `pre`, a bytes object that only this call
// holds, when it fits, else into `spill`.
struct pdf_sink {
  PyObject* pre;
  std::string* spill;
  bool filled;
  size_t size;
};

void take_pdf(void* context, std::string_view pdf) {
  pdf_sink& s = *static_cast<pdf_sink*>(context);
  s.size = pdf.size();
  if (s.pre && pdf.size() <= static_cast<size_t>(PyBytes_GET_SIZE(s.pre))) {
    qm::copy_bytes(PyBytes_AS_STRING(s.pre), pdf.data(), pdf.size());
    s.filled = true;
  } else {
    s.spill->assign(pdf);
  }
}

py::tuple run(py::bytes background, py::object background_data, py::bytes foreground,
              py::object foreground_data, py::object output, bool stamp, py::dict options) {
  qm::job_options o;
  o.stamp = stamp;
  o.background = std::string(background);
  o.foreground = std::string(foreground);
  for (auto item : options) set_option(o, py::cast<std::string>(item.first), item.second);

  const held_bytes bg(background_data);
  const held_bytes fg(foreground_data);
  if (bg.held()) o.background_bytes = bg.bytes();
  if (fg.held()) o.foreground_bytes = fg.bytes();
  // The PDF goes from the job's own buffer straight into a bytes object made before the job, as
  // large as the thread's last output and some room (preallocated_size), filled while the
  // interpreter lock is still released and cut to size when the lock is back. Making it after the
  // job would take the lock once more for every job, and on threads that run small jobs side by
  // side each taking of the lock is a wait. An output that does not fit waits in a string that the
  // thread keeps for its next job, up to the size the job keeps its own buffers to.
  thread_local size_t last_size = 0;
  thread_local std::string spill;
  if (spill.capacity() > qm::kSpareMaxBytes) std::string().swap(spill);
  spill.clear();
  pdf_sink sink{nullptr, &spill, false, 0};
  py::object pre;
  if (output.is_none()) {
    o.output_sink = take_pdf;
    o.output_context = &sink;
    if (last_size > 0 && last_size <= kPreallocMax) {
      PyObject* b =
          PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(preallocated_size(last_size)));
      if (b)
        pre = py::reinterpret_steal<py::object>(b);
      else
        PyErr_Clear();  // no room for a guess: the object is made after the job instead
      sink.pre = pre.ptr();
    }
  } else {
    o.output = output.cast<std::string>();
  }

  qm::job_result r;
  {
    py::gil_scoped_release unlocked;
    qm::job_run(o, r);
  }
  const char* role = r.ok ? nullptr : role_name(r.part);
  py::object role_obj = role ? py::object(py::str(role)) : py::object(py::none());
  py::object data = py::none();
  if (r.ok && output.is_none()) {
    last_size = sink.size;
    if (sink.filled) {
      PyObject* b = pre.release().ptr();
      if (_PyBytes_Resize(&b, static_cast<Py_ssize_t>(sink.size)) != 0)
        throw py::error_already_set();
      data = py::reinterpret_steal<py::object>(b);
    } else {
      data = py::bytes(spill);
    }
  }
  return py::make_tuple(r.ok, py::bytes(r.message), role_obj, r.sys_errno, data,
                        r.ok ? r.pages : 0);
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "The compiled part of the quiremark package: runs overlay jobs.";
  m.def("run", &run, py::arg("background"), py::arg("background_data"), py::arg("foreground"),
        py::arg("foreground_data"), py::arg("output"), py::arg("stamp"), py::arg("options"),
        "Runs one overlay job without the interpreter lock; see _native.pyi.");
}
