// Posts a message object's answer to a URL of the reverse path with this
// processor's own HTTP client: as SOAP text, or as DIME when the answer
// carries attachments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dime/http_dime_transport.h"
#include "interfaces/quenlin.h"

namespace routing {

inline constexpr char kPosterUserAgent[] = "Quorvel WS-Routing Agent/1.2";
// Longest wait for any one network event of a post.
inline constexpr uint32_t kPostTimeoutMs = 300000;
// Most bytes of a plain reply body read (and dropped).
inline constexpr size_t kMaxPostReplyBytes = 1u << 20;

struct PostLimits {
  uint32_t waitMs = kPostTimeoutMs;
  uint32_t deadlineMs = dime::kForwardDeadlineMs;  // the whole exchange
  size_t maxReplyBytes = kMaxPostReplyBytes;
};

// The limits a post runs under in this process: the standard ones, both
// shortened by the test-only QUORVEL_TEST_FORWARD_TIMEOUT_MS.
PostLimits ProcessPostLimits();

// Serialises `message` as a response and posts it to `url`. True only when
// the peer answered with a status 200..299: the message is then marked for a
// no-content answer. False, without connecting, for a URL that
// dime::IsUsableNextHopUrl refuses or a message that cannot be written
// (including a DIME body that cannot be sized); false for every failed,
// timed-out or oversized exchange and every other status.
bool ForwardToNextHop(std::u16string_view url, Iquenlin2* message,
                      const PostLimits& limits = ProcessPostLimits());

}  // namespace routing
