// ResponseText.cpp - see ResponseText.h.
#include "ResponseText.h"

#include <stdio.h>

#include "ClientOptions.h"

namespace {

const int RESPONSE_CODES = RES_MULTI_PLAYERNOTKNOWN + 1;

const char* const RESPONSE_NAMES[RESPONSE_CODES] = {
    "RES_OK",
    "RES_USEREXISTS",
    "RES_USERDOESNOTEXIST",
    "RES_MULTI_INVITATIONACCEPTED",
    "RES_MULTI_INVITATIONREJECTED",
    "RES_MULTI_PLAYERNOTACCEPTED",
    "RES_MULTI_PLAYERNOTKNOWN",
};

const char* const RESPONSE_MEANINGS[RESPONSE_CODES] = {
    "done",
    "the name is taken",
    "unknown user or wrong password",
    "the invitation was accepted",
    "the invitation was rejected",
    "the lobby did not take the player",
    "the lobby does not know that player or invitation",
};

}  // namespace

const char* responseName(int code) {
    if (code < 0 || code >= RESPONSE_CODES) {
        return "an unknown response code";
    }
    return RESPONSE_NAMES[code];
}

const char* responseMeaning(int code) {
    if (code < 0 || code >= RESPONSE_CODES) {
        return "the server answered with a code this client does not know";
    }
    return RESPONSE_MEANINGS[code];
}

int exitStatusFor(clientErr_t err, const clientReply_t& reply) {
    switch (err) {
        case CLIENTERR_OK:
            if (reply.code < 0 || reply.code >= RESPONSE_CODES) {
                return CLIENTEXIT_PROTOCOL;  // keeps the status within a byte
            }
            return reply.code == RES_OK ? CLIENTEXIT_OK : CLIENTEXIT_REFUSED_BASE + reply.code;
        case CLIENTERR_CONNECT:
            return CLIENTEXIT_CONNECT;
        case CLIENTERR_PROTOCOL:
            return CLIENTEXIT_PROTOCOL;
        case CLIENTERR_NOANSWER:
        case CLIENTERR_LOST:
            break;
    }
    return CLIENTEXIT_NOANSWER;
}
