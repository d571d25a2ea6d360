// An independent echoDataFile server's service description, read by the
// gSOAP toolkit's generator at build time: rpc/encoded, the file struct in a
// types namespace of its own as tandrel.wsdl declares it, and a fileData that
// arrives and goes back inline as base64 or as a DIME attachment.
//gsoap ns service name: TandrelDIMESvc
//gsoap ns service style: rpc
//gsoap ns service encoding: encoded
//gsoap ns service namespace: urn:tandrel:echo
//gsoap ns service location: http://127.0.0.1/dime-rpc/tandrel
//gsoap ns schema namespace: urn:tandrel:echo
//gsoap t schema namespace: urn:tandrel:echo:types

// With an id or a type set the toolkit sends the bytes as a DIME attachment.
struct xsd__base64Binary {
  unsigned char *__ptr;
  int __size;
  char *id;
  char *type;
  char *options;
};

struct t__EchoFile {
  char *fileName;
  struct xsd__base64Binary fileData;
};

struct ns__echoDataFileResponse {
  struct t__EchoFile *return_;
};

int ns__echoDataFile(struct t__EchoFile *inputDataFile, struct ns__echoDataFileResponse *out);
