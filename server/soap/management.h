// The management class braskelmgr2: reads the running server's statistics and
// parameters, and reads or replaces its endpoint list, HTTP settings and log
// settings. Every change goes through SoapServer::ChangeConfig, so requests in
// flight keep the snapshot they started with, and the file is rewritten.
#pragma once

#include <cstdint>

#include "interfaces/braskelmgr.h"
#include "platform/base/base.h"

namespace server {

class SoapServer;

// Counters leave as LONG: larger values are reported as the largest LONG.
inline constexpr LONG kMaxReportedCount = 2147483647;
LONG SaturatedLong(uint64_t value);

// A new object working on `server`, queried for `iid`. With no server (the
// program runs as a plain local server) every method gives false and touches
// nothing.
HRESULT CreateManagementObject(SoapServer* server, REFIID iid, void** object);

}  // namespace server
