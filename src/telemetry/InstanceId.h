// The anonymised identifier of this appliance that the telemetry push sends:
// a 64-bit hash of the instance UUID, so the UUID itself never leaves the
// machine. Random operation identifiers come from here too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The seed of every instance id hash.
#define INSTANCE_ID_HASH_SEED 0xc70f6907ULL

// MurmurHash64A over length bytes of key.
uint64_t MurmurHash64A(const void *key, size_t length, uint64_t seed);

// A random version-4 UUID read from the system's random device, as 32
// lowercase hexadecimal digits in groups 8-4-4-4-12. Empty when the random
// device cannot be read.
std::string NewUuidText();

// The value of the first line containing "instanceUuid" of the identity
// file: everything after the line's first "=". Empty when the file cannot be
// read, has no such line, or the line has no "=".
std::string ReadInstanceUuid(const std::string &identityFile);

// The instance id: the decimal hash of the appliance's instance UUID, read
// from the identity file of its deployment kind, or of a fresh random UUID
// when there is none.
std::string ComputeInstanceId();
