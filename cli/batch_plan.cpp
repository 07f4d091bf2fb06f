// The batch command's plan and texts: parsing, output names, conflict checks, and what it prints.
#include "batch_plan.h"

#include <sched.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>

#include "opacity.h"
#include "zlib_deflate.h"

namespace qmcli::batch {

namespace {

std::optional<std::string> check_opacity(std::string_view v) {
  if (parse_opacity(v)) return std::nullopt;
  return "--opacity: expected a number from 0 to 1, got \"" + std::string(v) + "\"";
}

std::optional<std::string> no_check(std::string_view) {
  return std::nullopt;
}

}  // namespace

// The job options, as the single-file commands take them.
const job_flag kJobFlags[] = {
    {"--underlay", false, no_check, [](qm::job_options& o, std::string_view) { o.mode = 1; }},
    {"--opacity", true, check_opacity,
     [](qm::job_options& o, std::string_view v) { o.opacity = parse_opacity(v).value_or(1.0f); }},
    // Compressed by the tool's own compressor, as for the single-file commands.
    {"--compact", false, no_check,
     [](qm::job_options& o, std::string_view) {
       o.compact = true;
       o.compress = qmdeflate::zlib_compress;
     }},
    {"--keep-interactive", false, no_check,
     [](qm::job_options& o, std::string_view) { o.keep_interactive = true; }},
};

namespace {

const job_flag* find_job_flag(std::string_view name) {
  for (const job_flag& f : kJobFlags)
    if (f.name == name) return &f;
  return nullptr;
}

}  // namespace

void apply_job_flags(const args& a, qm::job_options& o) {
  o.stamp = a.stamp;
  for (const auto& [name, value] : a.job_flags) find_job_flag(name)->apply(o, value);
}

namespace {

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::optional<std::string> parse_jobs(std::string_view v, int& jobs) {
  const std::string expected = "--jobs: expected a whole number from 1 to " +
                               std::to_string(kMaxJobs) + ", got \"" + std::string(v) + "\"";
  if (!all_digits(v)) return expected;
  const std::string_view digits = v.substr(std::min(v.find_first_not_of('0'), v.size()));
  if (digits.empty() || digits.size() > 4) return expected;
  const int n = std::stoi(std::string(digits));
  if (n < 1 || n > kMaxJobs) return expected;
  jobs = n;
  return std::nullopt;
}

bool ends_with_pdf(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view tail = name.substr(name.size() - 4);
  const char want[] = ".pdf";
  for (size_t i = 0; i < 4; ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != want[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> parse_args(const std::vector<std::string>& argv, args& a) {
  a = args{};
  if (argv.empty()) return std::string("batch: expected stamp or merge");
  size_t i = 0;
  const std::string& what = argv[0];
  if (what == "-h" || what == "--help") {
    a.help = true;
    return std::nullopt;
  }
  if (what == "stamp")
    a.stamp = true;
  else if (what != "merge")
    return "batch: expected stamp or merge, got \"" + what + "\"";
  ++i;

  std::vector<std::string> positional;
  bool options_end = false;
  bool out_dir_given = false;
  for (; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (options_end || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_end = true;
      continue;
    }
    // "--name=value" or "--name value".
    const size_t eq = arg.find('=');
    const bool long_form = arg.rfind("--", 0) == 0;
    const std::string name = long_form && eq != std::string::npos ? arg.substr(0, eq) : arg;
    std::optional<std::string> inline_value;
    if (long_form && eq != std::string::npos) inline_value = arg.substr(eq + 1);
    const job_flag* jf = find_job_flag(name);
    const bool takes_value =
        name == "--out-dir" || name == "--jobs" || name == "--from-list" || (jf && jf->takes_value);
    const bool is_flag = name == "--quiet" || name == "--json" || name == "-h" ||
                         name == "--help" || (jf && !jf->takes_value);
    if (!takes_value && !is_flag) return "unknown option: " + name;
    if (is_flag && inline_value) return name + " takes no value";
    std::string value;
    if (takes_value) {
      if (inline_value) {
        value = *inline_value;
      } else {
        if (i + 1 >= argv.size()) return name + ": expected a value";
        value = argv[++i];
      }
    }
    if (name == "--out-dir") {
      if (value.empty()) return std::string("--out-dir: expected a folder");
      a.out_dir = value;
      out_dir_given = true;
    } else if (name == "--jobs") {
      if (auto e = parse_jobs(value, a.jobs)) return e;
    } else if (name == "--from-list") {
      if (value.empty()) return std::string("--from-list: expected a file or -");
      a.list = value;
    } else if (name == "--quiet") {
      a.quiet = true;
    } else if (name == "--json") {
      a.json = true;
    } else if (name == "-h" || name == "--help") {
      a.help = true;
    } else {
      if (auto e = jf->check(value)) return e;
      a.job_flags.emplace_back(name, value);
    }
  }
  if (a.help) return std::nullopt;

  if (a.list) {
    if (out_dir_given) return std::string("--out-dir cannot be used with --from-list");
    if (!positional.empty()) return "unexpected argument: " + positional.front();
    return std::nullopt;
  }
  if (positional.empty()) return std::string("missing arguments: FOREGROUND BACKGROUND...");
  if (!out_dir_given) return std::string("missing option: --out-dir DIR");
  a.foreground = positional.front();
  a.backgrounds.assign(positional.begin() + 1, positional.end());
  if (a.backgrounds.empty()) return std::string("missing argument: BACKGROUND...");
  return std::nullopt;
}

std::optional<std::string> output_name(std::string_view background) {
  const size_t slash = background.rfind('/');
  const std::string_view name =
      slash == std::string_view::npos ? background : background.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  std::string out(name);
  if (!ends_with_pdf(name)) out += ".pdf";
  return out;
}

std::string join(std::string_view dir, std::string_view name) {
  std::string p(dir);
  if (!p.empty() && p.back() != '/') p += '/';
  p += name;
  return p;
}

std::optional<std::string> items_from_args(const args& a, std::vector<item>& items) {
  items.clear();
  items.reserve(a.backgrounds.size());
  if (a.foreground == "-") return std::string("batch: the foreground cannot be - (standard input)");
  for (const std::string& bg : a.backgrounds) {
    if (bg == "-") return std::string("batch: a background cannot be - (standard input)");
    const std::optional<std::string> name = output_name(bg);
    if (!name) return "batch: " + bg + " names no file";
    items.push_back({bg, a.foreground, join(a.out_dir, *name)});
  }
  return std::nullopt;
}

std::optional<std::string> parse_list(std::string_view text, std::string_view source,
                                      std::vector<item>& items) {
  items.clear();
  size_t pos = 0;
  for (size_t line_no = 1; pos < text.size(); ++line_no) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (line.front() == '#') continue;
    const std::string where = std::string(source) + ": line " + std::to_string(line_no) + ": ";
    std::vector<std::string_view> fields;
    size_t from = 0;
    for (;;) {
      const size_t tab = line.find('\t', from);
      fields.push_back(line.substr(from, tab == std::string_view::npos ? tab : tab - from));
      if (tab == std::string_view::npos) break;
      from = tab + 1;
    }
    if (fields.size() != 3)
      return where + "expected background<TAB>foreground<TAB>output, found " +
             std::to_string(fields.size()) + (fields.size() == 1 ? " field" : " fields");
    static const char* const kRoles[] = {"background", "foreground", "output"};
    for (size_t k = 0; k < 3; ++k) {
      if (fields[k].empty()) return where + "empty " + kRoles[k];
      if (fields[k] == "-") return where + kRoles[k] + " cannot be - (standard input or output)";
    }
    items.push_back({std::string(fields[0]), std::string(fields[1]), std::string(fields[2])});
  }
  return std::nullopt;
}

namespace {

namespace fs = std::filesystem;

// What identifies the file a path names: its path with the symbolic links of its existing part
// resolved, and its device and inode when it exists.
struct identity {
  std::string path;
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
};

identity identify(const std::string& p) {
  identity id;
  std::error_code ec;
  fs::path canon = fs::weakly_canonical(fs::path(p), ec);
  if (ec) canon = fs::absolute(fs::path(p), ec).lexically_normal();
  id.path = canon.string();
  struct stat st;
  if (::stat(p.c_str(), &st) == 0) {
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
  }
  return id;
}

}  // namespace

std::optional<std::string> find_conflict(const std::vector<item>& items) {
  // Identities of every input, each path looked up once.
  std::map<std::string, identity> known;
  auto id_of = [&](const std::string& p) -> const identity& {
    auto it = known.find(p);
    if (it == known.end()) it = known.emplace(p, identify(p)).first;
    return it->second;
  };
  std::map<std::string, size_t> by_path;                     // resolved output path -> job
  std::map<std::pair<dev_t, ino_t>, size_t> by_inode;        // existing output file -> job
  std::map<std::string, const std::string*> inputs_by_path;  // resolved input path -> as given
  std::map<std::pair<dev_t, ino_t>, const std::string*> inputs_by_inode;
  for (const item& it : items) {
    for (const std::string* in : {&it.background, &it.foreground}) {
      const identity& id = id_of(*in);
      inputs_by_path.emplace(id.path, in);
      if (id.exists) inputs_by_inode.emplace(std::make_pair(id.dev, id.ino), in);
    }
  }
  for (size_t k = 0; k < items.size(); ++k) {
    const item& it = items[k];
    const identity id = identify(it.output);
    std::optional<size_t> earlier;
    if (auto p = by_path.find(id.path); p != by_path.end()) earlier = p->second;
    if (!earlier && id.exists)
      if (auto p = by_inode.find({id.dev, id.ino}); p != by_inode.end()) earlier = p->second;
    if (earlier)
      return "batch: " + items[*earlier].background + " and " + it.background +
             " would both write " + it.output;
    by_path.emplace(id.path, k);
    if (id.exists) by_inode.emplace(std::make_pair(id.dev, id.ino), k);

    const std::string* input = nullptr;
    if (auto p = inputs_by_path.find(id.path); p != inputs_by_path.end()) input = p->second;
    if (!input && id.exists)
      if (auto p = inputs_by_inode.find({id.dev, id.ino}); p != inputs_by_inode.end())
        input = p->second;
    if (input) return "batch: " + it.output + " would overwrite the input " + *input;
  }
  return std::nullopt;
}

int default_jobs() {
  // The mask may be larger than a cpu_set_t on machines with many processors: grow it until the
  // kernel takes it.
  for (int n = CPU_SETSIZE; n <= (1 << 16); n *= 2) {
    cpu_set_t* set = CPU_ALLOC(n);
    if (!set) break;
    const size_t size = CPU_ALLOC_SIZE(n);
    CPU_ZERO_S(size, set);
    if (::sched_getaffinity(0, size, set) == 0) {
      const int count = CPU_COUNT_S(size, set);
      CPU_FREE(set);
      return count > 0 ? count : 1;
    }
    CPU_FREE(set);
    if (errno != EINVAL) break;
  }
  const unsigned hc = std::thread::hardware_concurrency();
  return hc > 0 ? static_cast<int>(hc) : 1;
}

std::string fixed(double v, int decimals) {
  if (!(v >= 0) || std::isinf(v)) v = 0;
  uint64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  const auto units = static_cast<uint64_t>(std::llround(v * static_cast<double>(scale)));
  std::string s = std::to_string(units / scale);
  if (decimals > 0) {
    std::string frac = std::to_string(units % scale);
    s += "." + std::string(static_cast<size_t>(decimals) - frac.size(), '0') + frac;
  }
  return s;
}

namespace {

// "0:07", "12:34", "1:02:03".
std::string clock_text(double seconds) {
  const auto s = static_cast<uint64_t>(std::llround(seconds < 0 ? 0 : seconds));
  const uint64_t h = s / 3600, m = s / 60 % 60, sec = s % 60;
  auto two = [](uint64_t v) { return (v < 10 ? "0" : "") + std::to_string(v); };
  if (h > 0) return std::to_string(h) + ":" + two(m) + ":" + two(sec);
  return std::to_string(m) + ":" + two(sec);
}

}  // namespace

std::string progress_text(size_t done, size_t failed, size_t total, double elapsed) {
  const size_t finished = done + failed;
  std::string s = std::to_string(finished) + "/" + std::to_string(total) +
                  " files: " + std::to_string(done) + " done, " + std::to_string(failed) +
                  " failed";
  if (finished == 0 || elapsed <= 0) return s;
  const double rate = static_cast<double>(finished) / elapsed;
  s += ", " + fixed(rate, 1) + " files/s";
  if (finished < total)
    s += ", " + clock_text(static_cast<double>(total - finished) / rate) + " left";
  return s;
}

std::string summary_text(size_t done, size_t failed, size_t total, double elapsed,
                         bool interrupted) {
  const size_t finished = done + failed;
  std::string s = std::to_string(total) + (total == 1 ? " file: " : " files: ") +
                  std::to_string(done) + " done, " + std::to_string(failed) + " failed, " +
                  fixed(elapsed, 1) + " s";
  if (elapsed > 0 && finished > 0)
    s += ", " + fixed(static_cast<double>(finished) / elapsed, 1) + " files/s";
  if (interrupted) s += ", interrupted: " + std::to_string(total - finished) + " not started";
  return s;
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      switch (c) {
        case '\n':
          out += "\\n";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\r':
          out += "\\r";
          break;
        default:
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
      }
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      // A well-formed UTF-8 sequence (no overlong form, no surrogate, at most U+10FFFF) is
      // copied; any other byte becomes U+FFFD.
      int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
      if (c > 0xF4) len = 0;
      bool good = len > 0 && i + static_cast<size_t>(len) <= s.size();
      for (int k = 1; good && k < len; ++k)
        good = (static_cast<unsigned char>(s[i + static_cast<size_t>(k)]) & 0xC0) == 0x80;
      if (good && len >= 3) {
        const auto c1 = static_cast<unsigned char>(s[i + 1]);
        if (c == 0xE0 && c1 < 0xA0) good = false;   // overlong
        if (c == 0xED && c1 >= 0xA0) good = false;  // surrogate
        if (c == 0xF0 && c1 < 0x90) good = false;   // overlong
        if (c == 0xF4 && c1 >= 0x90) good = false;  // beyond U+10FFFF
      }
      if (good) {
        out.append(s.substr(i, static_cast<size_t>(len)));
        i += static_cast<size_t>(len);
      } else {
        out += "\xEF\xBF\xBD";
        ++i;
      }
    }
  }
  out += '"';
  return out;
}

std::string json_document(const std::vector<item>& items, const std::vector<outcome>& outcomes,
                          double elapsed, bool interrupted) {
  std::string out = "{\"files\": [";
  size_t done = 0, failed = 0, listed = 0;
  for (size_t k = 0; k < items.size() && k < outcomes.size(); ++k) {
    const outcome& o = outcomes[k];
    if (!o.ran) continue;
    (o.ok ? done : failed) += 1;
    out += listed++ ? ",\n  " : "\n  ";
    out += "{\"background\": " + json_string(items[k].background) +
           ", \"foreground\": " + json_string(items[k].foreground) +
           ", \"output\": " + json_string(items[k].output) + ", \"status\": \"" +
           (o.ok ? "ok" : "failed") + "\", \"message\": " + json_string(o.message) +
           ", \"pages\": " + std::to_string(o.pages) + ", \"seconds\": " + fixed(o.seconds, 6) +
           "}";
  }
  out += listed ? "\n], " : "], ";
  out += "\"done\": " + std::to_string(done) + ", \"failed\": " + std::to_string(failed) +
         ", \"not_started\": " + std::to_string(items.size() - done - failed) +
         ", \"interrupted\": " + (interrupted ? "true" : "false") +
         ", \"seconds\": " + fixed(elapsed, 6) + "}\n";
  return out;
}

}  // namespace qmcli::batch
