// Writes the manual page quiremark(1) in troff from the same command table as --help.
#include <cstdio>
#include <string>
#include <string_view>

#include "commands.h"

namespace {

// troff escapes: a backslash doubles, and a line may not start with '.' or '\''.
std::string esc(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

void line(std::string_view s) {
  std::printf("%s\n", std::string(s).c_str());
}

}  // namespace

int main() {
  using namespace qmcli;
  line(".TH QUIREMARK 1 \"\" \"quiremark " QUIREMARK_VERSION "\" \"User Commands\"");
  line(".SH NAME");
  line(std::string(kToolName) + " \\- " + esc(kToolSummary));
  line(".SH SYNOPSIS");
  for (const command& c : kCommands) {
    line(".B " + std::string(kToolName));
    line(esc(c.usage));
    line(".br");
  }
  line(".B " + std::string(kToolName) + " \\-h | \\-\\-help | \\-V | \\-\\-version");
  line(".SH DESCRIPTION");
  line(esc(kToolDescription));
  line(".PP");
  line(esc(kNotCarriedOver));
  line(".SH COMMANDS");
  for (const command& c : kCommands) {
    line(".SS " + esc(c.usage));
    line(esc(c.summary) + " " + esc(c.description));
    for (int i = 0; i < c.item_count; ++i) {
      line(".TP");
      line(".B " + esc(c.items[i].name));
      line(esc(c.items[i].help));
    }
    if (c.output_count > 0) {
      line(".PP");
      line(esc(c.output_intro));
      for (int i = 0; i < c.output_count; ++i) {
        line(".TP");
        line(".B " + esc(c.outputs[i].name));
        line(esc(c.outputs[i].help));
      }
    }
  }
  line(".SH EXIT STATUS");
  line(esc(kToolExitStatus));
  line(".SH SEE ALSO");
  line(".BR qpdf (1),");
  line(".BR mutool (1)");
  return 0;
}
