// The quiremark command-line tool: a thin shell over the library's public C interface.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "commands.h"
#include "info.h"
#include "job/error.h"
#include "job/job.h"
#include "quiremark.h"
#include "zlib_deflate.h"

#ifndef QUIREMARK_VERSION
#define QUIREMARK_VERSION "unknown"
#endif

namespace qmcli {
namespace {

struct job_args {
  std::string bg, fg, out;
  bool underlay = false;
  float opacity = 1.0f;
  bool compact = false;
};

struct info_args {
  std::string file;
  bool json = false;
  bool objects = false;
};

std::string str(std::string_view s) {
  return std::string(s);
}

CLI::App* add_command(CLI::App& app, std::string_view name) {
  const command& c = *find_command(name);
  CLI::App* sub = app.add_subcommand(str(c.name), str(c.summary));
  sub->footer(str(c.description));
  return sub;
}

// Runs a job through the public interface and reports its failure the conventional way.
int report(int ok) {
  if (ok) return kExitOk;
  std::fprintf(stderr, "quiremark: %s\n", quiremark_last_error());
  return kExitFailure;
}

void add_job_args(CLI::App* sub, const command& c, job_args& a) {
  sub->add_option("BG", a.bg, str(item_help(c, "BG")))->required()->type_name("");
  sub->add_option("FG", a.fg, str(item_help(c, "FG")))->required()->type_name("");
  sub->add_option("OUT", a.out, str(item_help(c, "OUT")))->required()->type_name("");
  sub->add_flag("--underlay", a.underlay, str(item_help(c, "--underlay")))->disable_flag_override();
  sub->add_flag("--compact", a.compact, str(item_help(c, "--compact")))->disable_flag_override();
}

// Runs a job with compact output: the library's job directly, with libdeflate as its compressor.
int run_compact(const job_args& a, int stamp) {
  const qm::content_compressor z{qmdeflate::zlib_compress, nullptr};
  int ok = 0;
  try {
    ok = qm::overlay_exec(a.bg.c_str(), a.fg.c_str(), a.out.c_str(), a.underlay ? 1 : 0, a.opacity,
                          stamp, &z);
  } catch (const std::bad_alloc&) {
    qm::set_error("out of memory");
  }
  return report(ok);
}

// A usage error: what is wrong, and the usage line of the command concerned.
int usage_error(const command* c, const std::string& what) {
  const std::string usage = c ? "quiremark " + str(c->usage) : str(kToolUsage);
  std::fprintf(stderr, "quiremark: %s\nusage: %s\n", what.c_str(), usage.c_str());
  return kExitUsage;
}

int usage_error(const CLI::App& app, const CLI::ParseError& e) {
  const command* c = nullptr;
  for (const CLI::App* sub : app.get_subcommands())
    if (const command* k = find_command(sub->get_name())) c = k;
  return usage_error(c, e.what());
}

// The first argument must be a command or one of the tool's own options; the parser would only
// say that a command is missing.
int check_first(int argc, char** argv) {
  if (argc < 2) return usage_error(nullptr, "no command given");
  const std::string_view a = argv[1];
  if (a == "-h" || a == "--help" || a == "--version" || find_command(a)) return kExitOk;
  if (!a.empty() && a[0] == '-') return usage_error(nullptr, "unknown option: " + str(a));
  return usage_error(nullptr, "unknown command: " + str(a));
}

int run(int argc, char** argv) {
  if (const int rc = check_first(argc, argv); rc != kExitOk) return rc;

  CLI::App app(str(kToolSummary), str(kToolName));
  app.footer(str(kToolDescription) + "\n\n" + str(kToolExitStatus));
  app.set_version_flag("--version", "quiremark " QUIREMARK_VERSION);
  app.require_subcommand(1, 1);

  job_args merge_a, stamp_a;
  info_args info_a;

  CLI::App* merge = add_command(app, "merge");
  add_job_args(merge, *find_command("merge"), merge_a);
  CLI::Option* opacity = merge->add_option("--opacity", merge_a.opacity,
                                           str(item_help(*find_command("merge"), "--opacity")));
  opacity->type_name("X");

  CLI::App* stamp = add_command(app, "stamp");
  add_job_args(stamp, *find_command("stamp"), stamp_a);
  stamp
      ->add_option("--opacity", stamp_a.opacity,
                   str(item_help(*find_command("stamp"), "--opacity")))
      ->type_name("X");

  CLI::App* info = add_command(app, "info");
  const command& ic = *find_command("info");
  info->add_flag("--json", info_a.json, str(item_help(ic, "--json")));
  info->add_flag("--objects", info_a.objects, str(item_help(ic, "--objects")));
  info->add_option("FILE", info_a.file, str(item_help(ic, "FILE")))->required()->type_name("");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usage_error(app, e);
  }

  if (merge->parsed()) {
    if (merge_a.compact) return run_compact(merge_a, 0);
    const int mode = merge_a.underlay ? 1 : 0;
    if (opacity->count() > 0)
      return report(quiremark_merge_opacity(merge_a.bg.c_str(), merge_a.fg.c_str(),
                                            merge_a.out.c_str(), mode, merge_a.opacity));
    return report(
        quiremark_merge(merge_a.bg.c_str(), merge_a.fg.c_str(), merge_a.out.c_str(), mode));
  }
  if (stamp->parsed()) {
    if (stamp_a.compact) return run_compact(stamp_a, 1);
    // A translucent stamp has no C function of its own; the tool runs the library's job directly.
    int ok = 0;
    try {
      ok = qm::overlay_exec(stamp_a.bg.c_str(), stamp_a.fg.c_str(), stamp_a.out.c_str(),
                            stamp_a.underlay ? 1 : 0, stamp_a.opacity, 1);
    } catch (const std::bad_alloc&) {
      qm::set_error("out of memory");
    }
    return report(ok);
  }
  return run_info(info_a.file.c_str(), info_a.json, info_a.objects, stdout, stderr);
}

}  // namespace
}  // namespace qmcli

int main(int argc, char** argv) {
  try {
    return qmcli::run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quiremark: %s\n", e.what());
    return qmcli::kExitFailure;
  }
}
