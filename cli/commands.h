// The command-line tool's commands, arguments and descriptions: the one source of the --help
// texts and of the manual page.
#pragma once
#include <iterator>
#include <string_view>

namespace qmcli {

inline constexpr std::string_view kToolName = "quiremark";
inline constexpr std::string_view kToolSummary =
    "Lay the pages of one PDF over the pages of another and write a new PDF.";
inline constexpr std::string_view kToolDescription =
    "Every output page shows a background page and a foreground page, each imported unchanged "
    "and centred on the output page, never scaled. The output page has the size of its "
    "background page as displayed (rotation honoured, crop box used). The output file is "
    "written only once it is complete, so OUT may name one of the inputs.";
// What a page keeps and what it leaves behind: only what the page draws travels with it, unless
// the job is asked to keep the rest.
inline constexpr std::string_view kNotCarriedOver =
    "Not carried over unless --keep-interactive is given: links, annotations, form fields, "
    "bookmarks and document info.";
inline constexpr std::string_view kToolExitStatus =
    "Exit status: 0 on success; 1 when the job fails, with \"quiremark: \" and the reason on "
    "standard error; 2 when the command line is wrong, with a usage line.";
inline constexpr std::string_view kToolUsage =
    "quiremark merge|stamp|batch|info ARGS... (see quiremark --help)";

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the job failed; the library's message is on stderr
inline constexpr int kExitUsage = 2;    // the command line was wrong; a usage line is on stderr

// A positional argument or an option of a command. `name` is what the help shows: the positional
// name, or the option's flag followed by its value name.
struct item {
  std::string_view name;
  std::string_view help;
};

struct command {
  std::string_view name;
  std::string_view usage;  // the synopsis after the tool's name
  std::string_view summary;
  std::string_view description;
  const item* items;
  int item_count;
  // What the command prints, one entry for each field (none for the job commands).
  std::string_view output_intro = {};
  const item* outputs = nullptr;
  int output_count = 0;
};

inline constexpr std::string_view kCompactHelp =
    "write a smaller file that draws the same: the imported pages' contents compressed (kept as "
    "the input compressed them where possible), and every copied object once";

inline constexpr item kMergeItems[] = {
    {"BG", "background PDF; its pages set the size of the output pages"},
    {"FG", "foreground PDF; its page n is laid over background page n"},
    {"OUT", "the output PDF; it may name one of the inputs"},
    {"--underlay", "draw the foreground underneath the background instead of on top"},
    {"--opacity X",
     "draw the foreground at opacity X, from 0 (invisible) to 1 (opaque, the default), written "
     "as digits with an optional fraction: 0.35, .5, 1"},
    {"--compact", kCompactHelp},
    {"--keep-interactive",
     "also keep what makes the documents work: the annotations and links of both inputs' pages, "
     "a form, and the background's bookmarks, page labels and document info (title, XMP "
     "metadata); links and bookmarks lead to the output pages that show their pages. The form is "
     "the background's, else the foreground's, never both: the other input's form fields are "
     "left out. Signatures are carried but no longer verify. Not kept even so: tagged "
     "structure, JavaScript, embedded files, optional content"},
};

inline constexpr item kStampItems[] = {
    {"BG", "background PDF; the output has one page for each of its pages"},
    {"FG", "foreground PDF; its first page is drawn on every background page"},
    {"OUT", "the output PDF; it may name one of the inputs"},
    {"--underlay", "draw the stamp underneath the background instead of on top"},
    {"--opacity X",
     "draw the stamp at opacity X, from 0 (invisible) to 1 (opaque, the default), written as "
     "digits with an optional fraction: 0.35, .5, 1"},
    {"--compact", kCompactHelp},
    {"--keep-interactive",
     "also keep what makes the background work: its annotations and links, its form, "
     "bookmarks, page labels and document info (title, XMP metadata), with links and bookmarks "
     "leading to the output pages; and the stamp's annotations on every page (its links to "
     "its own pages lose their destination; its form fields are left out). Signatures are carried "
     "but no longer "
     "verify. Not kept even so: tagged structure, JavaScript, embedded files, optional content"},
};

// The batch command's arguments, then the job options it passes to every job (each as the
// single-file commands take it).
inline constexpr item kBatchItems[] = {
    {"stamp|merge",
     "stamp: the first page of FOREGROUND on every page of each background; merge: page by page"},
    {"FOREGROUND", "the foreground PDF, the same for every job"},
    {"BACKGROUND...", "the background PDFs, one job each"},
    {"--out-dir DIR",
     "write each output to DIR under its background's file name (\".pdf\" appended when the name "
     "does not end in .pdf); DIR is created when missing"},
    {"--from-list FILE",
     "instead of FOREGROUND, BACKGROUND... and --out-dir: read the jobs from FILE (- for standard "
     "input), one a line as background<TAB>foreground<TAB>output, paths relative to the current "
     "folder; blank lines and lines starting with # are skipped"},
    {"--jobs N", "run N jobs at a time (default: the processors this process may run on)"},
    {"--quiet", "print nothing but the failures"},
    {"--json",
     "print one JSON document on standard output: {\"files\": [{\"background\", \"foreground\", "
     "\"output\", \"status\": \"ok\" or \"failed\", \"message\", \"pages\", \"seconds\"}], "
     "\"done\", \"failed\", \"not_started\", \"interrupted\", \"seconds\"}, files in the order "
     "of the jobs"},
    {"--underlay", "draw the foreground underneath each background instead of on top"},
    {"--opacity X", "draw the foreground at opacity X, from 0 to 1, as for merge and stamp"},
    {"--compact", kCompactHelp},
    {"--keep-interactive",
     "keep links, annotations, forms, bookmarks and document info, as for "
     "merge and stamp"},
};

inline constexpr item kInfoItems[] = {
    {"FILE", "the PDF to describe"},
    {"--json", "print one JSON object instead of text"},
    {"--objects", "also list the object table"},
};

inline constexpr item kHelpItems[] = {
    {"COMMAND", "the command to describe: merge, stamp, batch, info or help"},
};

// The fields `info` prints: the JSON key, then in parentheses the label or column of the text.
inline constexpr item kInfoOutputs[] = {
    {"(file)", "text only: the file as named on the command line"},
    {"trailer_root (trailer /Root)",
     "the object number named by /Root in the trailer (or cross-reference stream); -1, in the "
     "text \"none (searched for /Catalog)\", when no trailer names one"},
    {"encrypted",
     "always false (text: no): a file with /Encrypt in a trailer is refused instead, by info "
     "too, with \"encrypted PDFs are not supported\" and exit status 1"},
    {"catalog",
     "the object used as the catalog: the trailer's /Root when that object exists, else the "
     "first object that mentions /Catalog, else 1"},
    {"max_objnum (max object number)", "the highest object number found"},
    {"(objects)",
     "text only: how many objects the final table holds, and how many of them came from "
     "object streams"},
    {"pages (pages)",
     "the pages in document order, one entry per listing (a page listed twice appears "
     "twice); the text gives their number, then one line for each"},
    {"pages[].num (page, obj)",
     "the page's object number (the text first numbers the pages from 1)"},
    {"pages[].parent",
     "the /Pages node whose /Kids lists the page; -1 when the page is the tree's root"},
    {"pages[].inherited_rotate (inherited /Rotate)",
     "the /Rotate handed down by the nearest ancestor that has one, reduced to 0 to 359; 0 when "
     "none has"},
    {"pages[].rotate_own (own /Rotate)",
     "the page's own /Rotate as written (an indirect value followed), not reduced; -1 (text: "
     "none) when it has none that is a non-negative integer"},
    {"pages[].x0, y0, width, height (box)",
     "the box the page is shown with: its own /CropBox, else its /MediaBox, else the nearest "
     "ancestor's, else 0 0 595 842 (A4); its lower left corner and its size in points, printed "
     "in the shortest form that reads back as the same number (nothing is rounded)"},
    {"objects (object table)",
     "with --objects: every object found, in the order of the final table. Positions are byte "
     "offsets into the file, -1 where absent (always for objects from object streams)"},
    {"objects[].num", "the object number"},
    {"objects[].obj_start", "the first digit of \"N G obj\""},
    {"objects[].dict_start", "the value's '<' when the value is a dictionary"},
    {"objects[].stream_pos", "the \"stream\" keyword"},
    {"objects[].data_start, data_end", "the stream data, from its first byte to one past its last"},
    {"objects[].endobj_pos", "the \"endobj\" keyword"},
    {"objects[].has_stream (stream)", "true (text: 1) when the object is a stream"},
    {"objects[].in_objstm (objstm)", "true (text: 1) when the object came from an object stream"},
    {"objects[].text_len", "for an object from an object stream, the length of its text; else 0"},
};

inline constexpr command kCommands[] = {
    {"merge", "merge BG FG OUT [--underlay] [--opacity X] [--compact] [--keep-interactive]",
     "Lay the pages of FG over the pages of BG, one to one.",
     "The output has as many pages as the longer input; a page beyond the shorter input's end "
     "shows only the other input's page.",
     kMergeItems, static_cast<int>(std::size(kMergeItems))},
    {"stamp", "stamp BG FG OUT [--underlay] [--opacity X] [--compact] [--keep-interactive]",
     "Lay the first page of FG over every page of BG.",
     "Use it for watermarks, letterheads and stamps. The output has as many pages as BG.",
     kStampItems, static_cast<int>(std::size(kStampItems))},
    {"batch",
     "batch stamp|merge (FOREGROUND --out-dir DIR BACKGROUND... | --from-list FILE) [--jobs N] "
     "[--quiet] [--json] [--underlay] [--opacity X] [--compact] [--keep-interactive]",
     "Overlay one foreground on many backgrounds, several jobs at a time.",
     "The jobs run on threads of one process, each on its own: a failed file never stops the "
     "others, and is reported on standard error as \"quiremark: BACKGROUND: reason\". A progress "
     "line is shown while standard error is a terminal, and a one-line summary at the end. Before "
     "any job starts, the batch is refused with exit status 2 when two jobs would write the same "
     "file or an output would overwrite the foreground or any job's input. The first SIGINT or "
     "SIGTERM starts no new job and lets the running ones finish; a second one stops at once. No "
     "temporary or partial file is left either way. Exit status: 0 when every job succeeded, 1 "
     "when any failed, 2 on a usage error, 130 after SIGINT, 143 after SIGTERM.",
     kBatchItems, static_cast<int>(std::size(kBatchItems))},
    {"info", "info [--json] [--objects] FILE", "Show what the reader finds in a PDF.",
     "Prints the trailer facts, the catalog and every page with its box and rotation, as the "
     "library sees them; useful to learn why a file is read as it is.",
     kInfoItems, static_cast<int>(std::size(kInfoItems)),
     "Fields: the JSON key, then in parentheses the text's label or column.", kInfoOutputs,
     static_cast<int>(std::size(kInfoOutputs))},
    {"help", "help [COMMAND]", "Show the help of the tool, or of one command.",
     "The same as quiremark --help, or quiremark COMMAND --help.", kHelpItems,
     static_cast<int>(std::size(kHelpItems))},
};

// The command with this name, or nullptr.
constexpr const command* find_command(std::string_view name) {
  for (const command& c : kCommands)
    if (c.name == name) return &c;
  return nullptr;
}

// The help text of one of a command's items, looked up by its first word ("--opacity", "BG").
constexpr std::string_view item_help(const command& c, std::string_view word) {
  for (int i = 0; i < c.item_count; ++i) {
    const std::string_view n = c.items[i].name;
    if (n.substr(0, n.find(' ')) == word) return c.items[i].help;
  }
  return {};
}

}  // namespace qmcli
