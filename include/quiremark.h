/* quiremark: lay the pages of one PDF over the pages of another.
 *
 * The whole public interface is the six functions below, with unmangled names and the plain C
 * calling convention; this header compiles as C and as C++. Each job function is one synchronous
 * call: it reads both input files whole before it writes anything. A job of fewer than 16 output
 * pages, and any job whose output is written in place (below), builds the complete output in
 * memory and writes it at the end; a larger one writes each finished part of the output into its
 * temporary file as it goes. Either way the output path may name one of the inputs: the file
 * there is replaced only once the new one is complete.
 *
 * What a job writes. Every output page shows a background page and a foreground page, each
 * imported unchanged as a Form XObject (its content, resources and rotation travel with it) and
 * centred on the output page, never scaled or clipped. The output page has the size of its
 * background page as displayed (rotation honoured, crop box used); a page beyond the background's
 * end takes the size of its foreground page. The result is a PDF 1.4 file.
 *
 * The output file. When the output path names an existing regular file or nothing yet, the
 * output is written to a temporary file beside it and renamed over it only once it is complete:
 * a failed job never leaves a half-written file and never damages an existing one (its permission
 * bits are kept; a symbolic link is followed and the file it names is replaced). Other outputs
 * (a pipe, a device) are written directly.
 *
 * Errors. Every job returns 1 on success and 0 on failure. A failure leaves a one-line UTF-8
 * message (no trailing newline, at most 1023 bytes) in a process-wide error text that
 * quiremark_last_error() exposes; a success empties it. The message names the first failure of
 * the call, for example "NULL path argument", "invalid mode 2: must be 0 (foreground on top) or 1
 * (underlay)", "cannot open <path>", "encrypted PDFs are not supported: <path>", "document has no
 * pages", "cannot open <path> for writing", "write error on <path>" or "out of memory". No
 * failure ever stops the host process and no C++ exception ever leaves these functions.
 *
 * Threads. Jobs on different threads never disturb each other's output. A job over 16 pages or
 * more runs two helper threads of its own (decoding page contents ahead, writing finished parts
 * of the output), which are joined before it returns; the output is the same as without them.
 * A thread that has run a job keeps some of its buffers for its next one (the output, the page
 * contents and the arrays its two input files were read into, each up to 1 MiB, so 4 MiB at
 * most); they are freed when the thread ends.
 * The error text, however, is shared by the whole process: a failing job on one thread
 * overwrites the message of another (the last writer wins), and the text may be read while
 * another thread writes it. A host that runs jobs concurrently and wants reliable messages must
 * serialise each job together with the reading of its message. The return value of a job is
 * always its own.
 */
#ifndef QUIREMARK_H
#define QUIREMARK_H

#if defined(_WIN32)
#define QUIREMARK_API __declspec(dllexport)
#elif defined(__GNUC__)
#define QUIREMARK_API __attribute__((visibility("default")))
#else
#define QUIREMARK_API
#endif

#ifdef __cplusplus
#define QUIREMARK_NOEXCEPT noexcept
extern "C" {
#else
#define QUIREMARK_NOEXCEPT
#endif

/* Empties the error text. Allocates nothing; may be called any number of times and is not
 * required before a job. Returns 1, always. */
QUIREMARK_API int quiremark_init(void) QUIREMARK_NOEXCEPT;

/* Empties the error text. Releases nothing (the library keeps no other state between calls);
 * jobs may still run afterwards, and it may be called any number of times. */
QUIREMARK_API void quiremark_cleanup(void) QUIREMARK_NOEXCEPT;

/* Pairs the pages of two documents one to one and writes the overlay to output_path.
 *
 * background_path, foreground_path, output_path: zero-terminated file names, used as the C
 * library's fopen would use them; none may be NULL. The output path may equal an input path.
 * mode: 0 draws each foreground page on top of its background page, 1 draws it underneath
 * ("underlay"); any other value is refused. The output has as many pages as the longer input; a
 * page beyond the shorter input's end carries only the other input's page.
 *
 * Returns 1 on success, with the output written and the error text emptied, or 0 on failure,
 * with the reason in the error text and nothing at output_path changed. */
QUIREMARK_API int quiremark_merge(const char* background_path, const char* foreground_path,
                                  const char* output_path, int mode) QUIREMARK_NOEXCEPT;

/* As quiremark_merge, but the foreground's first page is drawn on every background page, as a
 * stamp or watermark, and the output has exactly as many pages as the background. Only the
 * foreground's first page is imported; the foreground may have any number of pages. */
QUIREMARK_API int quiremark_stamp(const char* background_path, const char* foreground_path,
                                  const char* output_path, int mode) QUIREMARK_NOEXCEPT;

/* As quiremark_merge, with the foreground drawn at the given opacity (the background is always
 * opaque). The opacity is clamped, never refused: NaN and values above 1 mean 1 (opaque), values
 * below 0 mean 0 (invisible). Values from 0.999 up count as opaque and write no transparency
 * state, so that the output is then the same as quiremark_merge's. */
QUIREMARK_API int quiremark_merge_opacity(const char* background_path, const char* foreground_path,
                                          const char* output_path, int mode,
                                          float opacity) QUIREMARK_NOEXCEPT;

/* The error text: the message of the last failed job, or "" after a success, quiremark_init or
 * quiremark_cleanup, and before any call. Never NULL. The pointer stays valid for the life of the
 * process, but the text it shows is live: the next job on any thread may change it. Copy it
 * before running another job. */
QUIREMARK_API const char* quiremark_last_error(void) QUIREMARK_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUIREMARK_H */
