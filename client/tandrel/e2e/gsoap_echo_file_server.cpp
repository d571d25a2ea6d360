// The independent echoDataFile server's one operation, over code the gSOAP
// toolkit generated from gsoap_echo_file_service.h: the struct goes back as it
// came, an attachment as an attachment of the same id.
#include <soapH.h>
#include <TandrelDIMESvc.nsmap>

int ns__echoDataFile(struct soap*, t__EchoFile* inputDataFile, ns__echoDataFileResponse* out) {
  out->return_ = inputDataFile;
  return SOAP_OK;
}
