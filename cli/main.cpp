// The quiremark command-line tool. `merge` and `stamp` run the library's job through its own
// entry point (job/run.h), the one beneath the C interface, which takes every option a job has;
// `info` reads the loaded document's internals by design (info.cpp).
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "batch_run.h"
#include "commands.h"
#include "info.h"
#include "job/run.h"
#include "opacity.h"
#include "zlib_deflate.h"

#ifndef QUIREMARK_VERSION
#define QUIREMARK_VERSION "unknown"
#endif

namespace qmcli {
namespace {

struct job_args {
  std::string bg, fg, out;
  bool underlay = false;
  bool keep_interactive = false;
  float opacity = 1.0f;
  std::vector<std::string> opacity_text;  // every --opacity as typed, in order
  bool compact = false;
};

struct info_args {
  std::string file;
  bool json = false;
  bool objects = false;
};

struct help_args {
  std::string command;
};

std::string str(std::string_view s) {
  return std::string(s);
}

CLI::App* add_command(CLI::App& app, std::string_view name) {
  const command& c = *find_command(name);
  CLI::App* sub = app.add_subcommand(str(c.name), str(c.summary));
  std::string footer = str(c.description);
  if (name == "merge" || name == "stamp") footer += "\n" + str(kNotCarriedOver);
  if (c.output_count > 0) {
    footer += "\n\n" + str(c.output_intro);
    for (int i = 0; i < c.output_count; ++i)
      footer += "\n  " + str(c.outputs[i].name) + ": " + str(c.outputs[i].help);
  }
  sub->footer(footer);
  // Unknown options and surplus arguments are collected and reported by `check_parsed`, in the
  // tool's own words.
  sub->allow_extras();
  return sub;
}

// A positional argument. When a required one is missing the parser stops, and `check_parsed`
// reports what is wrong (an unknown option first, then what is missing).
CLI::Option* add_positional(CLI::App* sub, const command& c, std::string_view name,
                            std::string& to) {
  return sub->add_option(str(name), to, str(item_help(c, name)))->type_name("");
}

void add_job_args(CLI::App* sub, const command& c, job_args& a) {
  add_positional(sub, c, "BG", a.bg)->required();
  add_positional(sub, c, "FG", a.fg)->required();
  add_positional(sub, c, "OUT", a.out)->required();
  sub->add_flag("--underlay", a.underlay, str(item_help(c, "--underlay")))->disable_flag_override();
  sub->add_flag("--compact", a.compact, str(item_help(c, "--compact")))->disable_flag_override();
  sub->add_option("--opacity", a.opacity_text, str(item_help(c, "--opacity")))
      ->type_name("X")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  sub->add_flag("--keep-interactive", a.keep_interactive, str(item_help(c, "--keep-interactive")))
      ->disable_flag_override();
}

// The failed job's message as the tool prints it. The job's own text keeps its wording; a
// message about an input that does not name it (a page tree without pages) is said to be about
// that input, and a failed system call's reason follows in the system's words (the C locale's).
// A reader that went away (EPIPE) gets no reason: that is the reader's doing, not a fault here.
std::string failure_text(const qm::job_result& r, const qm::job_options& o) {
  if (r.message.empty()) return "out of memory";
  std::string text = r.message;
  const std::string* name = r.part == qm::job_part::background   ? &o.background
                            : r.part == qm::job_part::foreground ? &o.foreground
                                                                 : nullptr;
  if (name && !std::string_view(text).ends_with(*name))
    text =
        (r.part == qm::job_part::background ? "background " : "foreground ") + *name + ": " + text;
  if (r.sys_errno != 0 && r.sys_errno != EPIPE)
    text += std::string(": ") + std::strerror(r.sys_errno);
  return text;
}

// A request the tool turns down before any job runs: exit status 2, the reason alone.
int refuse(const char* why) {
  std::fprintf(stderr, "quiremark: %s\n", why);
  return kExitUsage;
}

// Runs one job and reports its failure the conventional way. "-" names standard input (for one
// of the inputs) or standard output; the job reads an input there, or any other pipe, whole, and
// builds the output whole before it writes it in one go. Messages call those streams "-".
int run_job(const job_args& a, bool stamp) {
  if (a.bg == "-" && a.fg == "-") return refuse("only one input can be read from standard input");
  qm::job_options o;
  o.background = a.bg;
  o.foreground = a.fg;
  o.output = a.out;
  o.stamp = stamp;
  o.mode = a.underlay ? 1 : 0;
  o.opacity = a.opacity;
  o.keep_interactive = a.keep_interactive;
  if (a.bg == "-") o.background_fd = STDIN_FILENO;
  if (a.fg == "-") o.foreground_fd = STDIN_FILENO;
  if (a.out == "-") {
    if (::isatty(STDOUT_FILENO)) return refuse("refusing to write a PDF to a terminal");
    o.output_fd = STDOUT_FILENO;
    // A reader that goes away early makes the write fail (EPIPE) instead of killing the tool.
    std::signal(SIGPIPE, SIG_IGN);
  }
  // Compact output is compressed by the tool's own compressor, libdeflate (ext/deflate).
  o.compact = a.compact;
  if (a.compact) o.compress = qmdeflate::zlib_compress;
  qm::job_result r;
  qm::job_run(o, r);
  if (r.ok) return kExitOk;
  std::fprintf(stderr, "quiremark: %s\n", failure_text(r, o).c_str());
  return kExitFailure;
}

// A usage error: what is wrong, and the usage line of the command concerned.
int usage_error(const command* c, const std::string& what) {
  const std::string usage = c ? "quiremark " + str(c->usage) : str(kToolUsage);
  std::fprintf(stderr, "quiremark: %s\nusage: %s\n", what.c_str(), usage.c_str());
  return kExitUsage;
}

std::string opacity_expected() {
  return "--opacity: expected a number from 0 to 1";
}

// The parser's own messages, for the few errors that it finds itself (the rest are found by
// `check_parsed`); anything unforeseen keeps the parser's text.
std::string parse_error_text(const CLI::ParseError& e) {
  const std::string what = e.what();
  if (what.rfind("--opacity:", 0) == 0) return opacity_expected();  // no value after it
  std::string s = what;
  if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z') s[0] = static_cast<char>(s[0] - 'A' + 'a');
  return s;
}

// The first argument must be a command or one of the tool's own options; the parser would only
// say that a command is missing.
int check_first(int argc, char** argv) {
  if (argc < 2) return usage_error(nullptr, "no command given");
  const std::string_view a = argv[1];
  if (a == "-h" || a == "--help" || a == "-V" || a == "--version" || find_command(a))
    return kExitOk;
  if (!a.empty() && a[0] == '-') return usage_error(nullptr, "unknown option: " + str(a));
  return usage_error(nullptr, "unknown command: " + str(a));
}

// The arguments for the parser, in the reverse order it takes them. "--opacity=X" becomes
// "--opacity" "X", so that an empty X is seen as a value too; "--flag=X" for a flag of the
// command is refused here, in the tool's words. Returns kExitOk, or the status of the error.
int prepare_args(int argc, char** argv, std::vector<std::string>& args) {
  const command* c = find_command(argv[1]);
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    const size_t eq = a.find('=');
    if (c && i > 1 && a.rfind("--", 0) == 0 && a.size() > 2 && eq != std::string_view::npos) {
      const std::string_view name = a.substr(0, eq);
      if (name == "--opacity") {
        args.emplace_back(name);
        args.emplace_back(a.substr(eq + 1));
        continue;
      }
      for (int k = 0; k < c->item_count; ++k)
        if (c->items[k].name == name) return usage_error(c, str(name) + " takes no value");
    }
    if (a == "--") {
      args.insert(args.end(), argv + i, argv + argc);
      break;
    }
    args.emplace_back(a);
  }
  std::reverse(args.begin(), args.end());
  return kExitOk;
}

// How many of the command's first items are required arguments.
int required_count(const command& c) {
  return c.name == "merge" || c.name == "stamp" ? 3 : c.name == "info" ? 1 : 0;
}

// What the parser lets through but the command cannot take: unknown options, surplus arguments,
// missing ones (the command's first `required` items), an opacity that is not a number from 0
// to 1. Returns kExitOk or the usage status.
int check_parsed(const CLI::App& sub, const command& c, int required, job_args* job) {
  // The parser keeps a "--" that ends the options among what it did not take; after it, words
  // that start with '-' are arguments.
  std::vector<std::string> extra;
  bool options_end = false;
  std::vector<std::string> left = sub.remaining();
  if (sub.get_parent()) {
    // What follows a "--" after the last argument is handed back to the tool itself.
    const std::vector<std::string> up = sub.get_parent()->remaining();
    if (!up.empty() && !options_end) left.push_back("--");
    left.insert(left.end(), up.begin(), up.end());
  }
  for (const std::string& x : left) {
    if (x == "--" && !options_end) {
      options_end = true;
      continue;
    }
    if (!options_end && x.size() > 1 && x[0] == '-')
      return usage_error(&c, "unknown option: " + x.substr(0, x.find('=')));
    extra.push_back(x);
  }
  if (!extra.empty()) return usage_error(&c, "unexpected argument: " + extra.front());
  std::string missing;
  int n_missing = 0;
  for (int i = 0; i < c.item_count && i < required; ++i) {
    if (sub.get_option(str(c.items[i].name))->count() > 0) continue;
    missing += (n_missing++ ? " " : "") + str(c.items[i].name);
  }
  if (n_missing)
    return usage_error(&c,
                       (n_missing > 1 ? "missing arguments: " : "missing argument: ") + missing);
  if (job) {
    for (const std::string& t : job->opacity_text) {
      const std::optional<float> v = parse_opacity(t);
      if (!v) return usage_error(&c, opacity_expected() + ", got \"" + t + "\"");
      job->opacity = *v;  // given twice, the last wins
    }
  }
  return kExitOk;
}

int run(int argc, char** argv) {
  if (const int rc = check_first(argc, argv); rc != kExitOk) return rc;
  // The batch command reads its own arguments: its grammar (a mode, then files and options in any
  // order, or a list) is not the single-job commands'.
  if (std::string_view(argv[1]) == "batch")
    return batch::run_batch(std::vector<std::string>(argv + 2, argv + argc), batch::library_job,
                            stdout, stderr);
  std::vector<std::string> args;
  if (const int rc = prepare_args(argc, argv, args); rc != kExitOk) return rc;

  CLI::App app(str(kToolSummary), str(kToolName));
  app.footer(str(kToolDescription) + "\n" + str(kNotCarriedOver) + "\n\n" + str(kToolExitStatus));
  app.set_version_flag("-V,--version", "quiremark " QUIREMARK_VERSION);
  app.require_subcommand(1, 1);
  app.allow_extras();

  job_args merge_a, stamp_a;
  info_args info_a;
  help_args help_a;

  CLI::App* merge = add_command(app, "merge");
  add_job_args(merge, *find_command("merge"), merge_a);

  CLI::App* stamp = add_command(app, "stamp");
  add_job_args(stamp, *find_command("stamp"), stamp_a);

  add_command(app, "batch");  // listed in the help; run by batch::run_batch

  CLI::App* info = add_command(app, "info");
  const command& ic = *find_command("info");
  info->add_flag("--json", info_a.json, str(item_help(ic, "--json")))->disable_flag_override();
  info->add_flag("--objects", info_a.objects, str(item_help(ic, "--objects")))
      ->disable_flag_override();
  add_positional(info, ic, "FILE", info_a.file)->required();

  CLI::App* help = add_command(app, "help");
  add_positional(help, *find_command("help"), "COMMAND", help_a.command);

  try {
    app.parse(args);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    const CLI::App* chosen = app.get_subcommands().empty() ? nullptr : app.get_subcommands()[0];
    const command* c = chosen ? find_command(chosen->get_name()) : nullptr;
    // A missing argument: the parser has read everything else, which is checked first.
    if (c && dynamic_cast<const CLI::RequiredError*>(&e)) {
      if (const int rc = check_parsed(*chosen, *c, required_count(*c), nullptr); rc != kExitOk)
        return rc;
    }
    return usage_error(c, parse_error_text(e));
  }

  CLI::App* chosen = app.get_subcommands().front();
  const command& cc = *find_command(chosen->get_name());
  job_args* job = chosen == merge ? &merge_a : chosen == stamp ? &stamp_a : nullptr;
  if (const int rc = check_parsed(*chosen, cc, required_count(cc), job); rc != kExitOk) return rc;

  if (chosen == help) {
    if (help_a.command.empty()) {
      std::fputs(
          app.get_formatter()->make_help(&app, str(kToolName), CLI::AppFormatMode::Normal).c_str(),
          stdout);
      return kExitOk;
    }
    if (!find_command(help_a.command))
      return usage_error(&cc, "unknown command: " + help_a.command);
    if (help_a.command == "batch") {
      std::fputs(batch::batch_help().c_str(), stdout);
      return kExitOk;
    }
    std::fputs(app.get_subcommand(help_a.command)->help(str(kToolName)).c_str(), stdout);
    return kExitOk;
  }

  if (merge->parsed()) return run_job(merge_a, false);
  if (stamp->parsed()) return run_job(stamp_a, true);
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
