#include "src/daemon/Utf8Argv.h"

#include <iconv.h>
#include <langinfo.h>

#include <clocale>
#include <cstring>

#include "src/core/Utf8Sequence.h"

bool IsValidUtf8(const std::string &text) {
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t length = Utf8SequenceLength(rest);
    if (length == 0) {
      return false;
    }
    rest.remove_prefix(length);
  }
  return true;
}

bool ConvertArgToUtf8(const std::string &arg, const char *localeCharset, std::string *out) {
  if (IsValidUtf8(arg)) {
    *out = arg;
    return true;
  }
  iconv_t cd = iconv_open("UTF-8", localeCharset);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return false;
  }
  std::string result(arg.size() * 4 + 4, '\0');
  char *in = const_cast<char *>(arg.data());
  size_t inLeft = arg.size();
  char *outPtr = result.data();
  size_t outLeft = result.size();
  size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1) || inLeft != 0) {
    return false;
  }
  result.resize(result.size() - outLeft);
  *out = std::move(result);
  return true;
}

bool ConvertArgvToUtf8(int argc, char ***argv) {
  // The locale is consulted only for its character set; messages and number
  // formats stay in the C locale.
  setlocale(LC_CTYPE, "");
  const char *charset = nl_langinfo(CODESET);
  std::string charsetName = charset != nullptr ? charset : "";
  setlocale(LC_CTYPE, "C");
  // In the plain C locale every byte above 127 would be an error; reading
  // such bytes as Latin-1 keeps an operator's file name usable instead.
  if (charsetName.empty() || charsetName == "ANSI_X3.4-1968") {
    charsetName = "ISO-8859-1";
  }

  // Never freed: the copy is the process's argument vector from now on.
  char **copy = new char *[argc + 1];
  for (int i = 0; i < argc; i++) {
    std::string converted;
    if (!ConvertArgToUtf8((*argv)[i], charsetName.c_str(), &converted)) {
      for (int j = 0; j < i; j++) {
        delete[] copy[j];
      }
      delete[] copy;
      return false;
    }
    copy[i] = new char[converted.size() + 1];
    memcpy(copy[i], converted.c_str(), converted.size() + 1);
  }
  copy[argc] = nullptr;
  *argv = copy;
  return true;
}
