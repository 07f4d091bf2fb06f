// `quiremark info`: what the reader sees in one PDF file.
#pragma once
#include <cstdio>

// Loads the file and prints its trailer facts, catalog, object count and page list, readable
// (plain) or as one JSON object; with `objects` the JSON carries the final object table too.
// Returns the process exit status: 0 when the file loads, 1 (with "quiremark: " and the loader's
// message on `err`) when it does not.
int run_info(const char* path, bool json, bool objects, std::FILE* out, std::FILE* err);
