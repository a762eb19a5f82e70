// UserDataFile.h - reads a user.dat image (the current layout or the older
// 2.1 layout) into plain records and checks every block on the way: header,
// checksum, record layout and the fields the server relies on. Read only:
// it never writes the file. Used by one thread (the inspector's main).
#ifndef USERDATAFILE_H
#define USERDATAFILE_H

#include <stddef.h>

class LinearBlock;

// Accounts a user data file can hold.
const int USERDATA_MAX_RECORDS = 100;
// Width of a text field in a record (name, password, date).
const int USERDATA_FIELD_SIZE = 20;
// Data bytes of the version block, of a current record and of a 2.1 record.
const int USERDATA_MARKER_BYTES = 20;
const int USERDATA_RECORD_BYTES = 84;
const int USERDATA_RECORD21_BYTES = 80;
// Most bytes of a file that are looked at; a larger file is reported as
// holding more than the records the server reads.
const int USERDATA_READ_LIMIT = 16384;
// Room for one fault description.
const int USERDATA_FAULT_TEXT = 200;
// Faults kept beyond the first (content faults do not stop the reading).
const int USERDATA_MAX_FAULTS = 16;

typedef enum {
    USERDATAERR_OK = 0,
    USERDATAERR_OPEN = 1,  // the file could not be opened or read
} userDataErr_t;

typedef enum {
    USERDATALAYOUT_EMPTY = 0,       // shorter than the version block
    USERDATALAYOUT_CURRENT = 1,     // version block, then 84-byte records
    USERDATALAYOUT_21 = 2,          // no version block, 80-byte records
    USERDATALAYOUT_OLDVERSION = 3,  // a marker below 3.0: the server skips it
    USERDATALAYOUT_UNKNOWN = 4,     // neither layout reads
} userDataLayout_t;

typedef enum {
    USERDATAFAULT_EMPTY = 0,         // no whole version block
    USERDATAFAULT_HEADER = 1,        // key windows or shift out of range
    USERDATAFAULT_CHECKSUM = 2,      // the block's checksum does not match
    USERDATAFAULT_VERSION = 3,       // marker unreadable or below 3.0
    USERDATAFAULT_PARTIAL = 4,       // trailing bytes that are no whole block
    USERDATAFAULT_TOOMANY = 5,       // more than 100 records
    USERDATAFAULT_UNTERMINATED = 6,  // a text field without its NUL
    USERDATAFAULT_BADID = 7,         // a user id below 1
    USERDATAFAULT_DUPLICATEID = 8,
    USERDATAFAULT_DUPLICATENAME = 9,
} userDataFaultKind_t;

// One account as read. Text fields are terminated copies of the 20-byte
// fields (a field without its NUL is cut to 19 characters).
typedef struct {
    char userName[USERDATA_FIELD_SIZE + 1];
    char password[USERDATA_FIELD_SIZE + 1];
    char highscoreDate[USERDATA_FIELD_SIZE + 1];
    int userId;
    int highscore;
    int gamesPlayed;
    int scoreSum;  // 0 in a 2.1 record, which has no sum
    int twoPlayerGamesPlayed;
    int twoPlayerGamesWon;
    int blockNumber;  // position of its block in the file, from 0
    long offset;      // file offset of its block
} userDataRecord_t;

typedef struct {
    userDataFaultKind_t kind;
    int blockNumber;  // -1 when the fault is not in one block
    long offset;
    char text[USERDATA_FAULT_TEXT];
} userDataFault_t;

class UserDataFile {
public:
    UserDataFile();
    ~UserDataFile();
    UserDataFile(const UserDataFile&) = delete;
    UserDataFile& operator=(const UserDataFile&) = delete;

    // Reads and checks fileName. USERDATAERR_OPEN (errno in getOpenErrno())
    // when it cannot be read; otherwise OK, with any damage in the faults.
    userDataErr_t load(const char* fileName);

    userDataLayout_t getLayout() const { return layout; }
    // "4.0" for the current layout, "2.1" for the older one, else "?".
    const char* getLayoutName() const { return layoutName; }
    long getFileSize() const { return fileSize; }
    int getOpenErrno() const { return openErrno; }

    // The records the server would load, in file order.
    int getRecordCount() const { return recordCount; }
    const userDataRecord_t* getRecord(int index) const;

    // Sound: no fault at all.
    bool isSound() const { return faultCount == 0; }
    // True when the server would stop reading before the end of the file.
    bool isTruncated() const { return truncated; }
    int getFaultCount() const { return faultCount; }
    const userDataFault_t* getFault(int index) const;

private:
    void clear();
    bool readWholeFile(const char* fileName);
    void parse();
    bool readVersionBlock(char* marker);
    void parseCurrent(const char* marker);
    void parseOlderLayout();
    void readBlocks(long start, int dataBytes, int firstBlockNumber, bool olderLayout);
    bool decodeBlock(long offset, int dataBytes, int blockNumber, bool reportFaults);
    void reportStop(userDataFaultKind_t kind, long offset, int blockNumber, int blockBytes,
                    const char* why);
    void takeRecord(int blockNumber, long offset, bool olderLayout);
    void checkTextField(const char* raw, const char* what, int blockNumber, long offset);
    void checkIdentity(const userDataRecord_t* record);
    void addFault(userDataFaultKind_t kind, int blockNumber, long offset, const char* text);
    void describeBlock(char* text, size_t size, int blockNumber, long offset);

    char* fileImage;  // the first USERDATA_READ_LIMIT bytes of the file
    long imageBytes;  // bytes of fileImage that hold file data
    long fileSize;    // the whole file's size
    int openErrno;
    userDataLayout_t layout;
    char layoutName[USERDATA_FIELD_SIZE];
    LinearBlock* block;  // capacity of one current record
    userDataRecord_t records[USERDATA_MAX_RECORDS];
    int recordCount;
    userDataFault_t faults[USERDATA_MAX_FAULTS];
    int faultCount;  // faults found; only the first USERDATA_MAX_FAULTS kept
    bool truncated;
};

#endif
