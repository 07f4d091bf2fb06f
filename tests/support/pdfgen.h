// A small PDF writer for test fixtures: objects are given as text, the writer adds the header,
// the "N 0 obj" lines, a correct cross-reference table and the trailer.
#pragma once
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>

namespace qmtest {

struct pdfgen {
  std::map<int, std::string> objs;  // number -> value text (what stands between obj and endobj)
  std::string trailer_extra;        // added inside the trailer dictionary
  int root = 1;
  bool with_xref = true;

  // A plain object: "<< ... >>", "[ ... ]", "42", ...
  pdfgen& obj(int num, std::string value) {
    objs[num] = std::move(value);
    return *this;
  }
  // A stream object with a correct direct /Length; `dict` holds further keys.
  pdfgen& stream(int num, std::string_view data, std::string_view dict = "") {
    std::string v = "<< /Length " + std::to_string(data.size());
    if (!dict.empty()) v += " " + std::string(dict);
    v += " >>\nstream\n";
    v += data;
    v += "\nendstream";
    objs[num] = std::move(v);
    return *this;
  }
  // Catalog 1, page tree 2 and one page per entry of `pages` (numbers 3, 4, ...); each entry is
  // the text added to the page dictionary (box, contents, resources).
  static pdfgen simple(const std::initializer_list<std::string>& pages) {
    pdfgen g;
    g.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    int n = 3;
    for (const auto& p : pages) {
      kids += std::to_string(n) + " 0 R ";
      g.obj(n, "<< /Type /Page /Parent 2 0 R " + p + " >>");
      ++n;
    }
    g.obj(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");
    return g;
  }

  std::string bytes() const {
    std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    int maxn = objs.empty() ? 0 : objs.rbegin()->first;
    std::map<int, size_t> off;
    for (const auto& [n, v] : objs) {
      off[n] = out.size();
      out += std::to_string(n) + " 0 obj\n" + v + "\nendobj\n";
    }
    if (!with_xref) return out;
    size_t x = out.size();
    out += "xref\n0 " + std::to_string(maxn + 1) + "\n0000000000 65535 f \n";
    for (int n = 1; n <= maxn; ++n) {
      char line[32];
      auto it = off.find(n);
      if (it == off.end())
        std::snprintf(line, sizeof line, "0000000000 00000 f \n");
      else
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", it->second);
      out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(maxn + 1) + " /Root " + std::to_string(root) +
           " 0 R" + (trailer_extra.empty() ? "" : " " + trailer_extra) + " >>\nstartxref\n" +
           std::to_string(x) + "\n%%EOF\n";
    return out;
  }
};

// zlib-wrapped deflate of the bytes, at the given level.
inline std::string zlib_compress(std::string_view in, int level = 6) {
  uLongf n = compressBound(in.size());
  std::string out(n, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(in.data()),
                in.size(), level) != Z_OK)
    std::abort();
  out.resize(n);
  return out;
}

// zlib's own reading of a zlib stream: true with *out the inflated bytes when the data are one
// whole stream (final block, right Adler-32), false otherwise.
inline bool zlib_inflate(std::string_view z, std::string* out) {
  z_stream s{};
  if (inflateInit(&s) != Z_OK) return false;
  out->clear();
  char chunk[16384];
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z.data()));
  s.avail_in = static_cast<uInt>(z.size());
  int rc;
  do {
    s.next_out = reinterpret_cast<Bytef*>(chunk);
    s.avail_out = sizeof chunk;
    rc = inflate(&s, Z_NO_FLUSH);
    out->append(chunk, sizeof chunk - s.avail_out);
  } while (rc == Z_OK);
  inflateEnd(&s);
  return rc == Z_STREAM_END;
}

// A scratch directory for this test program (under the build tree when CTest runs it).
inline std::filesystem::path tmp_dir() {
  const char* e = std::getenv("QM_TEST_TMP");
  std::filesystem::path p = e ? e : std::filesystem::temp_directory_path() / "quiremark-tests";
  std::filesystem::create_directories(p);
  return p;
}

// Writes bytes to a file in the scratch directory and returns its path.
inline std::string write_file(const std::string& name, std::string_view bytes) {
  auto p = tmp_dir() / name;
  std::ofstream f(p, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return p.string();
}

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace qmtest
