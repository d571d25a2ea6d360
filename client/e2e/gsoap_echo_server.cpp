// The independent echo server, built from code the toolkit generated from
// gsoap_echo_service.h: binds a free loopback port, prints "PORT n", and
// serves one request per connection until no client comes for two minutes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

#include <soapH.h>
#include <EchoService.nsmap>

int ns__echoString(struct soap*, char* inputString, char** return_) {
  *return_ = inputString;
  return SOAP_OK;
}

int ns__echoStruct(struct soap*, ns__SOAPStruct* inputStruct, ns__echoStructResponse* out) {
  out->return_ = inputStruct;
  return SOAP_OK;
}

int ns__echoStringArray(struct soap*, ArrayOfstring* inputStringArray,
                        ns__echoStringArrayResponse* out) {
  out->return_ = inputStringArray;
  return SOAP_OK;
}

int ns__echoFault(struct soap* soap, char*, char**) {
  return soap_sender_fault(soap, "Echo fault requested", nullptr);
}

int main() {
  // Strings are UTF-8 on both sides, as ours are.
  struct soap* soap = soap_new1(SOAP_C_UTFSTRING);
  soap->accept_timeout = 120;
  if (!soap_valid_socket(soap_bind(soap, "127.0.0.1", 0, 16))) {
    soap_print_fault(soap, stderr);
    return 1;
  }
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(soap->master, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 1;
  std::printf("PORT %d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  while (soap_valid_socket(soap_accept(soap))) {
    soap_serve(soap);
    soap_destroy(soap);
    soap_end(soap);
  }
  soap_free(soap);
  return 0;
}
