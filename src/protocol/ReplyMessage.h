// Replies of the control protocol: encoders for the server, which build each
// reply at its exact size with every zero field written as zero, and
// decoders for clients, which accept a payload only when its length matches
// the layout.
//
// Layouts (offsets from the message start; integers little-endian):
//   Result, code 0:   type 15, payloadLength 0, header only.
//   Result, code > 0: type 16, payloadLength textLength + 12:
//                     16 code, 20 textLength, 24 text, 24 + textLength zero u32.
//   Name list:        type 15, payloadLength 32 * count + 8:
//                     16 count, 20 + 32 * i name i, 20 + 32 * count zero u32.
//   Service state:    type 15, payloadLength detailLength + 136:
//                     16 name [32], 48 state, 52 startup type, 56 health,
//                     60 lastStopFailed u8, 61 three zero bytes, 64 msInState
//                     u64, 72 pid, 76 run-as user [64], 140 detailLength,
//                     144 healthData, 144 + detailLength zero u64.
//   Live core:        type 15 on success, 16 otherwise; payloadLength
//                     textLength + 8: 16 textLength, 20 path, 20 + textLength
//                     zero u32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "src/protocol/MessageHeader.h"

#define RESULT_PAYLOAD_FIXED 12u      // payload bytes of a result besides its text
#define NAME_LIST_PAYLOAD_FIXED 8u    // payload bytes of a name list besides its names
#define SVC_STATE_PAYLOAD_FIXED 136u  // payload bytes of a service state besides healthData
#define LIVE_CORE_PAYLOAD_FIXED 8u    // payload bytes of a live core reply besides its path

// The result of a request answered with a result reply. Code 0 has no
// payload; any other code comes with a text, which only profile operations
// fill (the failed services, joined by ", ").
struct ResultPayload {
  uint32_t code = 0;
  std::string text;
};

// A snapshot of one service.
struct SvcStatePayload {
  std::string name;             // at most 32 bytes are sent
  uint32_t state = 0;           // ServiceState: STARTING, STOPPING, STARTED, STOPPED
  uint32_t startupType = 0;     // MANUAL, AUTOMATIC, DISABLED
  uint32_t health = 0;          // UNHEALTHY, HEALTHY, INITIALIZED, START_PENDING, UNKNOWN
  bool lastStopFailed = false;  // meaningful when STOPPED; the sender writes 0 otherwise
  uint64_t msInState = 0;       // milliseconds since the state last changed
  uint32_t pid = 0;             // 0 when STOPPED
  std::string runAsUser;        // at most 64 bytes; the server sends "root" for none
  std::string healthData;       // output of the last health command
};

// The answer to DumpLiveCoreReq: success is told by the reply type alone.
struct LiveCorePayload {
  bool succeeded = false;
  std::string corePath;  // empty when the dump failed or the service is unknown
};

// Encoders: each returns the whole message, header included.
std::vector<uint8_t> EncodeResultReply(uint32_t code, std::string_view text = {});
std::vector<uint8_t> EncodeNameListReply(const std::vector<std::string> &names);
// lastStopFailed is written only when state is STOPPED (3); pid as given.
std::vector<uint8_t> EncodeSvcStateReply(const SvcStatePayload &status);
std::vector<uint8_t> EncodeLiveCoreReply(bool succeeded, std::string_view corePath);

// Decoders: header is the reply's header and payload its payloadLength
// bytes. Each returns false when the type or the lengths do not fit the
// layout. A result reply of type 16 that carries code 0 is malformed.
bool DecodeResultPayload(const MessageHeader &header, const uint8_t *payload, size_t size,
                         ResultPayload *out);
bool DecodeNameListPayload(const MessageHeader &header, const uint8_t *payload, size_t size,
                           std::vector<std::string> *names);
bool DecodeSvcStatePayload(const MessageHeader &header, const uint8_t *payload, size_t size,
                           SvcStatePayload *out);
bool DecodeLiveCorePayload(const MessageHeader &header, const uint8_t *payload, size_t size,
                           LiveCorePayload *out);
