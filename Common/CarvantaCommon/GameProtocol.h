// GameProtocol.h - the vocabulary of the wire protocol shared by server and
// game client: communication types, message, request and response codes,
// and the sizes of the envelope.
//
// Envelope (one LinearBlock): 6-byte obfuscation header, then commType (1),
// id (1), length (4, little-endian), payload (length bytes).
#ifndef GAMEPROTOCOL_H
#define GAMEPROTOCOL_H

// Capacity of every protocol buffer (data bytes of its LinearBlock).
const int PROTOCOL_BUFFER_SIZE = 3300;
// Bytes of an envelope in front of its payload: header, commType, id, length.
const int ENVELOPE_OVERHEAD = 12;
// Bytes of the envelope fields that are obfuscated but not payload.
const int ENVELOPE_FIELDS_SIZE = 6;
// Largest payload an envelope can carry: 3300 + 6 - 12.
const int PROTOCOL_PAYLOAD_MAX = 3294;
// Width of a user name or password field on the wire and in records.
const int PROTOCOL_NAME_SIZE = 20;

// The codes below arrive from the wire as any byte value, so each type has a
// fixed underlying int: a value outside the listed ones is a valid value of
// the type (to be refused by whoever reads it), not undefined behaviour.
typedef enum : int {
    COMMTYPE_MESSAGE = 1,
    COMMTYPE_REQUEST = 2,
    COMMTYPE_RESPONSE = 3,
} commType_t;

typedef enum : int {
    MSG_RECEIVEPLAYERLIST = 3,
    MSG_INVITEMULTIPLAYER = 4,
    MSG_CANCELINVITATION = 5,
    MSG_ACCEPTINVITATION = 6,
    MSG_REJECTINVITATION = 7,
    MSG_COUNTDOWNFORPLAY = 8,
    MSG_STARTGAMEMASTER = 9,
    MSG_STARTGAMESLAVE = 10,
    MSG_RECEIVECARDS = 11,
    MSG_GAMEFINISHED = 12,
    MSG_PAUSEGAME = 13,
    MSG_RESUMEGAME = 14,
    MSG_SETFOUND = 15,
    MSG_NOSETFOUND = 16,
    MSG_STOPPRESSED = 17,
    MSG_PAUSEPRESSED = 18,
    MSG_RESUMEPRESSED = 19,
} msgType_t;

typedef enum : int {
    REQ_SIGNUP = 1,
    REQ_STORESINGLEPLAYERSCORE = 2,
    REQ_SENDSINGLEPLAYERHIGHSCORES = 3,
    REQ_CHECKUSER = 4,
    REQ_DELETEUSER = 5,
    REQ_CHECKUSERANDPASSWORD = 6,
    REQ_MULTI_ATTACHMULTIPLAYER = 7,
    REQ_MULTI_DETACHMULTIPLAYER = 8,
    REQ_MULTI_ADDMULTIPLAYER = 9,
    REQ_MULTI_REMOVEMULTIPLAYER = 10,
    REQ_MULTI_INVITEMULTIPLAYER = 11,
    REQ_MULTI_CANCELINVITATION = 12,
    REQ_MULTI_ACCEPTINVITATION = 13,
    REQ_MULTI_REJECTINVITATION = 14,
    REQ_MULTI_SENDPLAYERLIST = 15,
} reqType_t;

// Request types run from REQ_FIRST to REQ_LAST.
const int REQ_FIRST = REQ_SIGNUP;
const int REQ_LAST = REQ_MULTI_SENDPLAYERLIST;

typedef enum : int {
    RES_OK = 0,
    RES_USEREXISTS = 1,
    RES_USERDOESNOTEXIST = 2,
    RES_MULTI_INVITATIONACCEPTED = 3,
    RES_MULTI_INVITATIONREJECTED = 4,
    RES_MULTI_PLAYERNOTACCEPTED = 5,
    RES_MULTI_PLAYERNOTKNOWN = 6,
} resType_t;

#endif
