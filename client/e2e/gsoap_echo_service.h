// The independent echo server's service description, read by the toolkit's
// generator at build time: rpc/encoded echoes of a string, a two-member
// struct and a string array, and an operation that answers a sender fault.
//gsoap ns service name: EchoService
//gsoap ns service style: rpc
//gsoap ns service encoding: encoded
//gsoap ns service namespace: urn:qvtest:echo
//gsoap ns service location: http://127.0.0.1/echo
//gsoap ns schema namespace: urn:qvtest:echo

struct ns__SOAPStruct {
  char *varString;
  int varInt;
};

// Unprefixed, so that the toolkit describes it as an encoded array.
struct ArrayOfstring {
  char **__ptr;
  int __size;
};

struct ns__echoStructResponse {
  struct ns__SOAPStruct *return_;
};

struct ns__echoStringArrayResponse {
  struct ArrayOfstring *return_;
};

int ns__echoString(char *inputString, char **return_);
int ns__echoStruct(struct ns__SOAPStruct *inputStruct, struct ns__echoStructResponse *out);
int ns__echoStringArray(struct ArrayOfstring *inputStringArray,
                        struct ns__echoStringArrayResponse *out);
int ns__echoFault(char *inputString, char **return_);
