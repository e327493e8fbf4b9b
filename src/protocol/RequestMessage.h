// Requests of the control protocol: one record for every request type, its
// encoding into a complete message and the decoding of a received payload.
//
// Payload layouts (offsets from the payload start, which is message offset
// 16; integers little-endian):
//   0, 1, 2, 4, 6, 14  service name [32]
//   3, 9               none
//   5                  0 startup type u32, 4 service name [32]
//   7, 8               0 profile name [32], 32 ignore-fail u8 (1 set, other clear)
//   10                 0 pid i32, 4 four ignored bytes
//   11                 0 recovery action profile u32
//   12                 0 service name [32], 32 user name [64]
//   13                 0..3 flags u8: health check, reset fail counters,
//                      reload configs, save crash statistics
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "src/protocol/MessageHeader.h"

// The four actions of an AllSvcsControlReq; a flag byte that is not zero
// selects its action. A health check excludes the other three.
struct AllSvcsFlags {
  bool healthCheck = false;        // byte 0
  bool resetFailCounters = false;  // byte 1
  bool reloadConfigs = false;      // byte 2
  bool saveCrashStats = false;     // byte 3
};

// One request. Only the fields of its type are sent or decoded; the others
// keep their defaults.
struct RequestMessage {
  MessageType type = MessageType::ListSvcsReq;
  std::string name;              // service name, or profile name for types 7 and 8
  uint32_t startupType = 0;      // SetSvcStateReq
  bool ignoreFail = false;       // StartProfileReq, StopProfileReq
  int32_t pid = 0;               // CoreDumpNotifyReq
  uint32_t recoveryProfile = 0;  // SetRecoveryProfileReq
  std::string user;              // RunAsUserReq
  AllSvcsFlags flags;            // AllSvcsControlReq
};

// The complete message: header and payload. Text fields are copied with
// PutTextField, so a name of 32 bytes or more fills its field; callers that
// want the server to see the whole name check IsValidNameText first. The
// type must be a request type (0 to 14).
std::vector<uint8_t> EncodeRequest(const RequestMessage &request);

// Decodes the payload of a request of the given type. Text fields are read
// with their last byte taken as NUL. False when type is not a request type
// or size is not the type's payload size; out is then left unchanged.
bool DecodeRequestPayload(uint32_t type, const uint8_t *payload, size_t size, RequestMessage *out);

// Whether a request type carries a service name in its first field (0, 1,
// 2, 4, 6, 12, 14), or a service name after its startup type (5).
bool RequestNamesService(uint32_t type);
