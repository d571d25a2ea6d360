// What the server's tests compare replies with.
#pragma once

#include <string>

namespace server_testing {

// The whole reply to a request the server cannot parse.
inline const std::string kPage400 =
    "HTTP/1.0 400 Bad Request\r\nContent-Type: text/html\r\n\r\n<HEAD><TITLE>400 Badly Formed "
    "Request</TITLE></HEAD>\n<BODY><H1>400 Badly Formed Request</H1>\nThe request had bad syntax "
    "or was inherently impossible to be satisfied.<BR>\n</BODY>\r\n";

// The reply without its Date line, which changes with the clock.
inline std::string WithoutDate(std::string reply) {
  const size_t d = reply.find("Date: ");
  if (d == std::string::npos) return reply;
  return reply.erase(d, reply.find("\r\n", d) + 2 - d);
}

}  // namespace server_testing
