// ResponseText.h - words for the server's response codes and the exit
// status that goes with each outcome of a request. Stateless; any thread.
#ifndef RESPONSETEXT_H
#define RESPONSETEXT_H

#include "ClientSession.h"

// "RES_USEREXISTS", or "code 9" for a value outside the table.
const char* responseName(int code);
// What the code means to a player: "the name is taken", ...
const char* responseMeaning(int code);
// CLIENTEXIT_OK, CLIENTEXIT_REFUSED_BASE + code, or the status of a
// failure to get an answer.
int exitStatusFor(clientErr_t err, const clientReply_t& reply);

#endif
