/* A tiny program built against an installed quiremark: calls all six functions of the C API.
 *
 * Usage: consumer BACKGROUND FOREGROUND OUTPUT_PREFIX
 * Writes OUTPUT_PREFIX-stamp.pdf, -merge.pdf and -translucent.pdf, then checks that a missing
 * input is reported through the error text. Prints one line per output; exit status 0 when every
 * step did what it should. */
#include <quiremark.h>
#include <stdio.h>
#include <string.h>

static int fail(const char* what) {
  fprintf(stderr, "consumer: %s: %s\n", what, quiremark_last_error());
  return 1;
}

int main(int argc, char** argv) {
  char out[4096];
  char missing[4096];
  char expected[4200];
  if (argc != 4) {
    fprintf(stderr, "usage: %s BACKGROUND FOREGROUND OUTPUT_PREFIX\n", argv[0]);
    return 2;
  }
  if (quiremark_init() != 1) return fail("init");

  snprintf(out, sizeof out, "%s-stamp.pdf", argv[3]);
  if (!quiremark_stamp(argv[1], argv[2], out, 0)) return fail("stamp");
  if (quiremark_last_error()[0] != '\0') return fail("error text not empty after success");
  printf("%s\n", out);

  snprintf(out, sizeof out, "%s-merge.pdf", argv[3]);
  if (!quiremark_merge(argv[1], argv[2], out, 1)) return fail("merge");
  printf("%s\n", out);

  snprintf(out, sizeof out, "%s-translucent.pdf", argv[3]);
  if (!quiremark_merge_opacity(argv[1], argv[2], out, 0, 0.5f)) return fail("merge_opacity");
  printf("%s\n", out);

  snprintf(missing, sizeof missing, "%s.missing", argv[1]);
  snprintf(expected, sizeof expected, "cannot open %s", missing);
  if (quiremark_stamp(missing, argv[2], out, 0)) {
    fprintf(stderr, "consumer: a missing input was not refused\n");
    return 1;
  }
  if (strcmp(quiremark_last_error(), expected) != 0) return fail("unexpected message");

  quiremark_cleanup();
  if (quiremark_last_error()[0] != '\0') return fail("error text not empty after cleanup");
  return 0;
}
