#include "src/core/Utf8Argv.h"

#include <iconv.h>
#include <langinfo.h>

#include <clocale>
#include <cstring>

bool IsValidUtf8(const std::string &text) {
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const unsigned char *end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    int extra;
    uint32_t value;
    if (c < 0x80) {
      p++;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      value = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      value = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      value = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) {
      return false;
    }
    for (int i = 1; i <= extra; i++) {
      if ((p[i] & 0xC0) != 0x80) {
        return false;
      }
      value = (value << 6) | (p[i] & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (value < kMinimum[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    p += extra + 1;
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
