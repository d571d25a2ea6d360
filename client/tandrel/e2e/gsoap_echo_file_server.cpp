// The independent echoDataFile server's one operation, over code the gSOAP
// toolkit generated from gsoap_echo_file_service.h: the struct goes back as it
// came, an attachment as an attachment of the same id, or with
// QV_GSOAP_OWN_IDS set, of an id the toolkit makes and references as
// "cid:<id>".
#include <soapH.h>
#include <stdlib.h>

#include <TandrelDIMESvc.nsmap>

int ns__echoDataFile(struct soap*, t__EchoFile* inputDataFile, ns__echoDataFileResponse* out) {
  if (getenv("QV_GSOAP_OWN_IDS") != nullptr && inputDataFile->fileData.id != nullptr) {
    // Without an id and a type the toolkit would answer inline.
    inputDataFile->fileData.id = nullptr;
    if (inputDataFile->fileData.type == nullptr) {
      inputDataFile->fileData.type = const_cast<char*>("application/octet-stream");
    }
  }
  out->return_ = inputDataFile;
  return SOAP_OK;
}
