// The texts that name service operations, their outcome and their phase in
// the operation metrics: the service layer reports them, the metrics store
// writes them as they are.
#pragma once

// Operation texts.
#define TELEMETRY_OP_START "START"
#define TELEMETRY_OP_STOP "STOP"
#define TELEMETRY_OP_BATCH_START "BATCH-START"
#define TELEMETRY_OP_BATCH_STOP "BATCH-STOP"
#define TELEMETRY_OP_RESTART "RESTART"

// Status texts; ending a record with "NONE" drops it.
#define TELEMETRY_STATUS_NONE "NONE"
#define TELEMETRY_STATUS_HEALTHY "HEALTHY"
#define TELEMETRY_STATUS_UNHEALTHY "UNHEALTHY"
#define TELEMETRY_STATUS_CRASHED "CRASHED"
#define TELEMETRY_STATUS_TIMED_OUT "TIMED-OUT"
#define TELEMETRY_STATUS_STOPPING "STOPPING"
#define TELEMETRY_STATUS_STOPPED "STOPPED"

// Phase texts.
#define TELEMETRY_PHASE_PENDING "PENDING"
#define TELEMETRY_PHASE_COMPLETED "COMPLETED"
