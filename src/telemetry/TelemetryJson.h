// Quiet JSON reading for the metrics store: the definition files it scans
// and the startup-events files that services write. Unlike the daemon's
// configuration reader it logs nothing, because a file that is not JSON is
// simply not one the store is looking for. Whole-line "//" comments are
// dropped as the configuration reader drops them, so that commented
// definition files are read alike.
#pragma once

#include <rapidjson/document.h>

#include <cstdio>
#include <string>

// Reads the rest of file and parses it into doc; true when it parsed.
bool ParseJsonStream(FILE *file, rapidjson::Document *doc);

// Opens path and parses it; false when it cannot be opened or parsed.
bool LoadJsonFile(const std::string &path, rapidjson::Document *doc);

// The string member key of object, or null when object is not an object or
// the member is absent or not a string.
const rapidjson::Value *FindStringMember(const rapidjson::Value &object, const char *key);
