/* The public header from C: calls all six functions through the shared library. Run with a
 * scratch directory as its argument; exits 0 when every check holds. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quiremark.h"

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

/* A one-page PDF: catalog 1, page tree 2, page 3 of the given size drawing `content` (object 4).
 * The reader finds objects by their headers, so no cross-reference table is needed. */
static int write_pdf(const char* path, int w, int h, const char* content) {
  FILE* f = fopen(path, "wb");
  if (!f) return 0;
  fprintf(f,
          "%%PDF-1.4\n"
          "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
          "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n"
          "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] /Contents 4 0 R >>\n"
          "endobj\n"
          "4 0 obj\n<< /Length %u >>\nstream\n%s\nendstream\nendobj\n"
          "trailer\n<< /Root 1 0 R >>\n%%%%EOF\n",
          w, h, (unsigned)strlen(content), content);
  return fclose(f) == 0;
}

static long file_size(const char* path) {
  FILE* f = fopen(path, "rb");
  long n;
  if (!f) return -1;
  fseek(f, 0, SEEK_END);
  n = ftell(f);
  fclose(f);
  return n;
}

int main(int argc, char** argv) {
  const char* dir = argc > 1 ? argv[1] : ".";
  char bg[4096], fg[4096], out[4096], missing[4096];
  const char* e;

  snprintf(bg, sizeof bg, "%s/c_bg.pdf", dir);
  snprintf(fg, sizeof fg, "%s/c_fg.pdf", dir);
  snprintf(out, sizeof out, "%s/c_out.pdf", dir);
  snprintf(missing, sizeof missing, "%s/c_missing.pdf", dir);
  {
    char cmd[4200];
    snprintf(cmd, sizeof cmd, "mkdir -p '%s'", dir);
    if (system(cmd) != 0) return 2;
  }
  if (!write_pdf(bg, 612, 792, "0 g") || !write_pdf(fg, 200, 100, "1 g")) return 2;

  e = quiremark_last_error();
  CHECK(e != NULL);
  CHECK(e[0] == 0); /* empty when the library is loaded */
  CHECK(quiremark_init() == 1);
  CHECK(quiremark_init() == 1);

  CHECK(quiremark_merge(bg, fg, out, 0) == 1);
  CHECK(strcmp(quiremark_last_error(), "") == 0);
  CHECK(file_size(out) > 0);

  CHECK(quiremark_stamp(bg, fg, out, 1) == 1);
  CHECK(quiremark_merge_opacity(bg, fg, out, 0, 0.5f) == 1);

  /* Failures: result 0 and the message; the pointer is the same live text. */
  CHECK(quiremark_merge(NULL, fg, out, 0) == 0);
  CHECK(strcmp(quiremark_last_error(), "NULL path argument") == 0);
  CHECK(quiremark_last_error() == e);
  CHECK(quiremark_stamp(bg, fg, out, 2) == 0);
  CHECK(strcmp(quiremark_last_error(),
               "invalid mode 2: must be 0 (foreground on top) or 1 (underlay)") == 0);
  CHECK(quiremark_merge_opacity(missing, fg, out, 0, 0.25f) == 0);
  {
    char want[4200];
    snprintf(want, sizeof want, "cannot open %s", missing);
    CHECK(strcmp(quiremark_last_error(), want) == 0);
  }

  quiremark_cleanup();
  CHECK(quiremark_last_error()[0] == 0);
  /* Jobs still run after cleanup. */
  CHECK(quiremark_merge(bg, fg, out, 1) == 1);
  quiremark_cleanup();

  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures ? 1 : 0;
}
