/* The benchmark's floor: the least work any overlay tool must do. Reads both inputs whole and
 * writes SIZE bytes (the inputs' bytes, repeated as needed) to OUT with one write.
 *   quiremark_bench_floor BG FG OUT SIZE */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char* read_all(const char* path, long* len) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  char* p = NULL;
  if (fseek(f, 0, SEEK_END) == 0 && (*len = ftell(f)) > 0 && fseek(f, 0, SEEK_SET) == 0 &&
      (p = malloc((size_t)*len)) != NULL && fread(p, 1, (size_t)*len, f) != (size_t)*len) {
    free(p);
    p = NULL;
  }
  fclose(f);
  return p;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s BG FG OUT SIZE\n", argv[0]);
    return 2;
  }
  long bl = 0, fl = 0;
  char* b = read_all(argv[1], &bl);
  char* f = read_all(argv[2], &fl);
  long size = atol(argv[4]);
  if (!b || !f || size < 0) {
    fprintf(stderr, "floor: cannot read the inputs\n");
    return 1;
  }
  char* out = malloc(size > 0 ? (size_t)size : 1);
  if (!out) return 1;
  for (long pos = 0; pos < size;) { /* background bytes, then foreground bytes, again */
    long n = bl < size - pos ? bl : size - pos;
    memcpy(out + pos, b, (size_t)n);
    pos += n;
    n = fl < size - pos ? fl : size - pos;
    memcpy(out + pos, f, (size_t)n);
    pos += n;
  }
  FILE* o = fopen(argv[3], "wb");
  if (!o || fwrite(out, 1, (size_t)size, o) != (size_t)size || fclose(o) != 0) {
    fprintf(stderr, "floor: cannot write %s\n", argv[3]);
    return 1;
  }
  free(out);
  free(b);
  free(f);
  return 0;
}
