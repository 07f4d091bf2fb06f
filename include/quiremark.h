/* quiremark: lay the pages of one PDF over the pages of another.
 *
 * The whole public interface is the six functions below, with unmangled names and the plain C
 * calling convention. Each job function is one synchronous call: it reads both input files whole,
 * builds the complete output in memory and only then creates the output file, so the output path
 * may name one of the inputs.
 *
 * Errors. Every job returns 1 on success and 0 on failure. A failure leaves a one-line UTF-8
 * message (no trailing newline, at most 1023 bytes) in a process-wide error text that
 * quiremark_last_error() exposes; a success empties it. No failure ever stops the host process.
 *
 * Threads. The library starts no threads and takes no locks; jobs on different threads never
 * disturb each other's output. The error text, however, is shared by the whole process: a failing
 * job on one thread overwrites the message of another (the last writer wins), and the text may be
 * read while another thread writes it. A host that runs jobs concurrently and wants reliable
 * messages must serialise each job together with the reading of its message. The return value of
 * a job is always its own.
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
extern "C" {
#endif

/* Empties the error text. Allocates nothing; may be called any number of times and is not
 * required before a job. Returns 1, always. */
QUIREMARK_API int quiremark_init(void);

/* Empties the error text. Releases nothing (the library keeps no other state between calls);
 * jobs may still run afterwards. */
QUIREMARK_API void quiremark_cleanup(void);

/* Pairs the pages of two documents one to one and writes the overlay to output_path.
 *
 * background_path, foreground_path, output_path: zero-terminated file names, handed unchanged to
 * the C library's fopen. mode: 0 draws each foreground page on top of its background page, 1 draws
 * it underneath ("underlay"). The output has as many pages as the longer input; a page beyond the
 * shorter input's end carries only the other input's page. Every output page has the size of its
 * background page (rotation honoured); both layers are centred on it, never scaled.
 *
 * Returns 1 on success (error text emptied) or 0 on failure, with the reason in the error text:
 * "NULL path argument", "invalid mode %d: must be 0 (foreground on top) or 1 (underlay)",
 * "cannot open <path>", "encrypted PDFs are not supported: <path>", "document has no pages",
 * "cannot open <path> for writing", "out of memory", and the other loader messages. */
QUIREMARK_API int quiremark_merge(const char* background_path, const char* foreground_path,
                                  const char* output_path, int mode);

/* As quiremark_merge, but the foreground's first page is drawn on every background page and the
 * output has exactly as many pages as the background. */
QUIREMARK_API int quiremark_stamp(const char* background_path, const char* foreground_path,
                                  const char* output_path, int mode);

/* As quiremark_merge, with the foreground drawn at the given opacity. The opacity is clamped,
 * never rejected: NaN and values above 1 mean 1 (opaque), values below 0 mean 0 (invisible). Values
 * from 0.999 up count as opaque and write no transparency state. */
QUIREMARK_API int quiremark_merge_opacity(const char* background_path,
                                          const char* foreground_path, const char* output_path,
                                          int mode, float opacity);

/* The error text: the message of the last failed job, or "" after a success, quiremark_init or
 * quiremark_cleanup. Never NULL. The pointer stays valid for the life of the process, but the text
 * it shows is live: the next job on any thread may change it. Copy it before running another job. */
QUIREMARK_API const char* quiremark_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* QUIREMARK_H */
