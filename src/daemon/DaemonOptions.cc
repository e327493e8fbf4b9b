#include "src/daemon/DaemonOptions.h"

#include <getopt.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/log/log.h"
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

namespace {

const char kProductSubdir[] = "norvane-sentro";

void PrintLine(const char *text) {
  fputs(text, stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void PrintUsage(const char *program, const char *message) {
  if (message != nullptr) {
    PrintLine(message);
  }
  printf("Usage: %s [options]\n", program);
  fflush(stdout);
  PrintLine("");
  PrintLine("Options:");
  PrintLine("  -c, --configdir <dir>  Sentro configuration directory.");
  PrintLine("  -d, --datadir   <dir>  Sentro data directory path.");
  PrintLine("  -s, --startupprofile <name>  Sentro startup profile.");
  PrintLine("  -i, --ignorefail       Ignore service startup failure.");
  PrintLine("  -h                     Print help information.");
}

void DirFromEnvironment(const char *variable, std::string *dir) {
  const char *value = getenv(variable);
  if (value != nullptr) {
    *dir = std::string(value) + "/" + kProductSubdir;
  }
}

}  // namespace

bool ParseDaemonOptions(int argc, char **argv, DaemonOptions *options) {
  DirFromEnvironment("NORVANE_CFG_DIR", &options->configDir);
  DirFromEnvironment("NORVANE_DATA_DIR", &options->dataDir);

  static const struct option kLongOptions[] = {
      {"configdir", required_argument, nullptr, 'c'},
      {"datadir", required_argument, nullptr, 'd'},
      {"startupprofile", required_argument, nullptr, 's'},
      {"ignorefail", no_argument, nullptr, 'i'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  const char *program = argc > 0 ? argv[0] : "sentro";
  opterr = 0;  // the usage below is the only complaint
  optind = 1;
  int opt;
  while ((opt = getopt_long(argc, argv, "c:d:s:i:h", kLongOptions, nullptr)) != -1) {
    switch (opt) {
      case 'c':
        options->configDir = optarg;
        break;
      case 'd':
        options->dataDir = optarg;
        break;
      case 's':
        options->startupProfile = optarg;
        break;
      case 'i':
        options->ignoreFail = true;
        break;
      case 'h':
        PrintUsage(program, nullptr);
        return false;
      default:
        PrintUsage(program, "Invalid Option.");
        return false;
    }
  }
  return true;
}

bool ChooseStartupProfile(const std::string &profileFilePath, std::string *profile) {
  const char *path = profileFilePath.c_str();
  struct stat st;
  if (stat(path, &st) != 0) {
    if (errno == ENOENT) {
      *profile = "ALL";
      return true;
    }
    LogAtLevel(LOG_ERROR, "Stat failed on file %s, Error %s\n", path, strerror(errno));
    return false;
  }
  FILE *file = fopen(path, "re");
  if (file == nullptr) {
    LogAtLevel(LOG_ERROR, "File %s open failed. Error %s\n", path, strerror(errno));
    return false;
  }
  // The name is the first line, at most 127 characters of it.
  char line[128];
  bool readOk = fgets(line, sizeof line, file) != nullptr;
  fclose(file);
  if (!readOk || line[0] == '\0' || strcmp(line, "\n") == 0) {
    LogAtLevel(LOG_ERROR, "Empty startup profile file %s\n", path);
    return false;
  }
  size_t length = strlen(line);
  if (line[length - 1] == '\n') {
    line[length - 1] = '\0';
  }
  *profile = line;
  return true;
}
