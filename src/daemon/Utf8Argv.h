// Converts the command line to UTF-8 before the options are parsed, so that
// directory and profile names reach the daemon in one encoding whatever the
// locale of the shell that started it.
#pragma once

#include <string>
#include <vector>

// Converts one argument from the locale's character set (LC_CTYPE of the
// environment). Text that is already valid UTF-8 is kept as it is. Returns
// false when the bytes are valid in neither encoding.
bool ConvertArgToUtf8(const std::string &arg, const char *localeCharset, std::string *out);

// Replaces argv by a UTF-8 copy that lives until the process ends. Returns
// false (and leaves argv alone) when an argument cannot be converted.
bool ConvertArgvToUtf8(int argc, char ***argv);

// True when text is well-formed UTF-8 (no overlongs, surrogates or values
// beyond U+10FFFF).
bool IsValidUtf8(const std::string &text);
