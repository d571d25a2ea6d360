// The independent echo server's operations, over code the toolkit generated
// from gsoap_echo_service.h (gsoap_server_main.cpp serves them).
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
