// Expansion of environment references in configuration texts.
#pragma once

#include <string>

// Replaces every %NAME% in source with the value of the environment variable
// NAME; "%%" stands for one literal "%", in literal text and inside a name
// alike. Values are copied as they are, never expanded again. Returns false
// after logging why when a reference is unterminated or names an unset
// variable; out then holds an incomplete text that must not be used.
bool ExpandEnvVars(const std::string &source, std::string *out);
