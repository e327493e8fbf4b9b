// The text of a JSON file as every reader in the daemon takes it: lines whose
// first non-blank characters are "//" are dropped, leading blanks and
// newlines removed. Both steps are quiet; callers log as they see fit.
#pragma once

#include <rapidjson/document.h>

#include <cstdio>
#include <string>

// Reads the rest of file into text. Returns 0, or the errno of a read that
// stopped early (EIO when the library gave none). May throw std::bad_alloc.
int ReadJsonText(FILE *file, std::string *text);

// Parses text into doc; true when it parsed. Deep nesting is parsed without
// recursion, so that no file can exhaust the stack.
bool ParseJsonText(const std::string &text, rapidjson::Document *doc);
