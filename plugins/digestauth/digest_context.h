// What every jorvex2 object of one host shares: the configuration (read-only
// after load), the nonce store and the event sink. The host builds one and
// hands it to the class factory; each object holds a reference.
#pragma once

#include <memory>
#include <string>

#include "plugins/digestauth/auth_config.h"
#include "plugins/digestauth/nonce_store.h"

namespace digestauth {

// The event-log source of the digest service.
inline constexpr char kEventSource[] = "Quorvel SOAP Authentication Service";

struct DigestContext {
  DigestContext(AuthConfig loaded, Clock clock, EventSink sink)
      : config(std::move(loaded)),
        log(std::move(sink)),
        nonces(config.NonceLife(), std::move(clock), log) {}

  const AuthConfig config;
  const EventSink log;
  NonceStore nonces;
};

using DigestContextPtr = std::shared_ptr<DigestContext>;

// A sink that writes each text as one information entry under `source`.
EventSink EventLogSink(std::string source = kEventSource);

}  // namespace digestauth
