/* Stamps a watermark on every page of one or more PDF files with the quiremark C API.
 *
 * Usage: stamp_watermark [--under] WATERMARK OUTDIR INPUT...
 *
 * The first page of WATERMARK is drawn, centred and unscaled, on every page of each INPUT; the
 * result is written to OUTDIR under the input's own file name (OUTDIR must exist). With --under
 * the watermark goes underneath the page content instead of on top.
 *
 * Each job is one call that returns 1 or 0; after a 0 the reason is in quiremark_last_error().
 * That text is shared by the whole process, so a program that runs jobs on several threads must
 * hold a lock around each job and the reading of its message. This one runs them one by one.
 *
 * Build against an installed quiremark:
 *   cc stamp_watermark.c $(pkg-config --cflags --libs quiremark) -o stamp_watermark
 * or with CMake: see CMakeLists.txt beside this file. */
#include <quiremark.h>
#include <stdio.h>
#include <string.h>

/* The last path component of a file name. */
static const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

int main(int argc, char** argv) {
  int mode = 0; /* 0: watermark on top of the page; 1: underneath */
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "--under") == 0) {
    mode = 1;
    first = 2;
  }
  if (argc - first < 3) {
    fprintf(stderr, "usage: %s [--under] WATERMARK OUTDIR INPUT...\n", argv[0]);
    return 2;
  }
  const char* watermark = argv[first];
  const char* outdir = argv[first + 1];

  quiremark_init(); /* optional: only empties the error text */
  int failed = 0;
  for (int i = first + 2; i < argc; ++i) {
    char output[4096];
    int n = snprintf(output, sizeof output, "%s/%s", outdir, base_name(argv[i]));
    if (n < 0 || (size_t)n >= sizeof output) {
      fprintf(stderr, "%s: output path too long\n", argv[i]);
      failed = 1;
      continue;
    }
    /* background = the document, foreground = the watermark */
    if (quiremark_stamp(argv[i], watermark, output, mode)) {
      printf("%s -> %s\n", argv[i], output);
    } else {
      fprintf(stderr, "%s: %s\n", argv[i], quiremark_last_error());
      failed = 1;
    }
  }
  quiremark_cleanup();
  return failed;
}
