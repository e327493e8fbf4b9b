#include "src/telemetry/InstanceId.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "lib/log/log.h"
#include "src/core/SysPaths.h"

#define BUILD_INFO_FILE "/etc/norvane/.buildInfo"
#define OUTPOST_IDENTITY_FILE "/etc/norvane/appliance/appliance.cfg"
#define INSTANCE_IDENTITY_FILE "/etc/norvane-skyd/instance.cfg"

#define BUILD_INFO_DEPLOYMENT_KEY "CLOUDVM_NAME"
#define OUTPOST_DEPLOYMENT_NAME "Norvane-Skylark-Outpost"
#define IDENTITY_UUID_KEY "instanceUuid"

uint64_t MurmurHash64A(const void *key, size_t length, uint64_t seed) {
  const uint64_t m = 0xc6a4a7935bd1e995ULL;
  const int r = 47;
  const unsigned char *data = static_cast<const unsigned char *>(key);
  const unsigned char *blocksEnd = data + (length / 8) * 8;
  uint64_t h = seed ^ (length * m);

  for (; data != blocksEnd; data += 8) {
    uint64_t k;
    memcpy(&k, data, sizeof k);  // the blocks are read little-endian
    k *= m;
    k ^= k >> r;
    k *= m;
    h ^= k;
    h *= m;
  }

  switch (length & 7) {
    case 7:
      h ^= uint64_t(data[6]) << 48;
      [[fallthrough]];
    case 6:
      h ^= uint64_t(data[5]) << 40;
      [[fallthrough]];
    case 5:
      h ^= uint64_t(data[4]) << 32;
      [[fallthrough]];
    case 4:
      h ^= uint64_t(data[3]) << 24;
      [[fallthrough]];
    case 3:
      h ^= uint64_t(data[2]) << 16;
      [[fallthrough]];
    case 2:
      h ^= uint64_t(data[1]) << 8;
      [[fallthrough]];
    case 1:
      h ^= uint64_t(data[0]);
      h *= m;
  }

  h ^= h >> r;
  h *= m;
  h ^= h >> r;
  return h;
}

std::string NewUuidText() {
  try {
    boost::uuids::random_generator generate;
    return boost::uuids::to_string(generate());
  } catch (const std::exception &error) {
    LogAtLevel(LOG_WARNING, "Failed to generate a random UUID: %s\n", error.what());
    return "";
  }
}

// The first line of path that contains key, without its newline.
static bool FindLineWith(const std::string &path, const char *key, std::string *found) {
  FILE *file = fopen(path.c_str(), "re");
  if (file == nullptr) {
    return false;
  }
  char *line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  bool matched = false;
  while (!matched && (length = getline(&line, &capacity, file)) >= 0) {
    std::string text(line, static_cast<size_t>(length));
    if (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    if (text.find(key) != std::string::npos) {
      *found = text;
      matched = true;
    }
  }
  free(line);
  fclose(file);
  return matched;
}

static bool IsOutpostDeployment() {
  std::string line;
  if (!FindLineWith(SysPath(BUILD_INFO_FILE), BUILD_INFO_DEPLOYMENT_KEY, &line)) {
    return false;
  }
  size_t colon = line.find(':');
  if (colon == std::string::npos ||
      line.compare(colon + 1, std::string::npos, OUTPOST_DEPLOYMENT_NAME) != 0) {
    return false;
  }
  LogAtLevel(LOG_INFO, "This is a Skylark Outpost deployment\n");
  return true;
}

std::string ReadInstanceUuid(const std::string &identityFile) {
  std::string line;
  if (!FindLineWith(identityFile, IDENTITY_UUID_KEY, &line)) {
    return "";
  }
  size_t equals = line.find('=');
  return equals == std::string::npos ? "" : line.substr(equals + 1);
}

std::string ComputeInstanceId() {
  const char *identityFile = IsOutpostDeployment() ? OUTPOST_IDENTITY_FILE : INSTANCE_IDENTITY_FILE;
  std::string uuid = ReadInstanceUuid(SysPath(identityFile));
  if (uuid.empty()) {
    uuid = NewUuidText();
  }
  return std::to_string(MurmurHash64A(uuid.data(), uuid.size(), INSTANCE_ID_HASH_SEED));
}
