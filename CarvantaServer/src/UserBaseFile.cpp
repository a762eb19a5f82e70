// UserBaseFile.cpp - accounts and single-player scores in a table of 100
// records, kept in user.dat as obfuscated LinearBlock images. Every
// operation holds dataMutex for its work on the table; the save thread
// builds the file image under it and writes the image without it.
#include "UserBaseFile.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "LinearBlock.h"
#include "MutexGuard.h"
#include "SimpleOsa.h"
#include "TextCopy.h"
#include "Toolbox.h"

UserBaseFile* UserBaseFile::theInstance = nullptr;
long UserBaseFile::firstSaveMs = USERBASEFILE_FIRST_SAVE_MS;
long UserBaseFile::saveIntervalMs = USERBASEFILE_SAVE_INTERVAL_MS;

namespace {

char DATA_FILE[] = "user.dat";
char TEMP_FILE[] = "user.dat.tmp";
const char OLD_FILE[] = "user.dat.old";
const char DAMAGED_FILE[] = "user.dat.damaged";
char CURRENT_DIRECTORY[] = ".";

// The marker written: "Version 04.0" and 8 NULs, 20 bytes.
const char VERSION_MARKER[USERBASEFILE_VERSION_SIZE] = "Version 04.0";
const char VERSION_WORD[] = "Version";
const int VERSION_WORD_LENGTH = 7;
const int VERSION_MAJOR_OFFSET = 8;
const int VERSION_DOT_OFFSET = 10;
const int VERSION_MINOR_OFFSET = 11;
// Files marked with a lower major version are not read.
const int VERSION_MAJOR_CURRENT = 3;

const char NEW_ACCOUNT_DATE[] = "00-00-0000";
// Scores of this and more never enter the high-score list.
const int HIGHSCORE_CEILING = 2700;

const int VERSION_BLOCK_BYTES = USERBASEFILE_VERSION_SIZE + LINEARBLOCK_HEADER_SIZE;
const int RECORD_BLOCK_BYTES = USERBASEFILE_RECORD_SIZE + LINEARBLOCK_HEADER_SIZE;
const int RECORD21_BLOCK_BYTES = USERBASEFILE_RECORD21_SIZE + LINEARBLOCK_HEADER_SIZE;
const int FILE_IMAGE_SIZE = VERSION_BLOCK_BYTES + USERBASEFILE_MAX_USERS * RECORD_BLOCK_BYTES;
const int COPY_CHUNK_SIZE = 4096;
const int DATE_TEXT_SIZE = USERBASEFILE_FIELD_SIZE;

// Reads until len bytes or the end of the file; the count read, or -1.
int readUpTo(int* file, char* data, int len) {
    int total = 0;
    while (total < len) {
        int got = 0;
        if (fileReadSome(file, data + total, len - total, &got) != OSAERR_OK) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        total += got;
    }
    return total;
}

// Adds without overflow: a sum that would leave the int range stays at its
// bound, since a client may send any 32-bit score.
int saturatingAdd(int value, int addend) {
    long long sum = static_cast<long long>(value) + addend;
    if (sum > INT_MAX) {
        return INT_MAX;
    }
    if (sum < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(sum);
}

void todayText(char* date) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    snprintf(date, DATE_TEXT_SIZE, "%2d-%2d-%4d", local.tm_mday, local.tm_mon + 1,
             local.tm_year + 1900);
}

// Text fields read from the file must end within their 20 bytes.
void terminateField(char* field) {
    field[USERBASEFILE_FIELD_SIZE - 1] = '\0';
}

void decodeRecord(LinearBlock* block, user_t* user) {
    block->reset();
    block->getData(user->userName, USERBASEFILE_FIELD_SIZE);
    block->getData(user->password, USERBASEFILE_FIELD_SIZE);
    block->getData(&user->userId);
    block->getData(&user->singlePlayerHighscore);
    block->getData(&user->singlePlayerGamesPlayed);
    block->getData(&user->singlePlayerGameScoreSum);
    block->getData(user->singlePlayerHighscoreDate, USERBASEFILE_FIELD_SIZE);
    block->getData(&user->twoPlayerGamesPlayed);
    block->getData(&user->twoPlayerGamesWon);
    terminateField(user->userName);
    terminateField(user->password);
    terminateField(user->singlePlayerHighscoreDate);
}

void decodeRecord21(LinearBlock* block, user21_t* user) {
    block->reset();
    block->getData(user->userName, USERBASEFILE_FIELD_SIZE);
    block->getData(user->password, USERBASEFILE_FIELD_SIZE);
    block->getData(&user->userId);
    block->getData(&user->singlePlayerHighscore);
    block->getData(&user->singlePlayerGamesPlayed);
    block->getData(user->singlePlayerHighscoreDate, USERBASEFILE_FIELD_SIZE);
    block->getData(&user->twoPlayerGamesPlayed);
    block->getData(&user->twoPlayerGamesWon);
    terminateField(user->userName);
    terminateField(user->password);
    terminateField(user->singlePlayerHighscoreDate);
}

void encodeRecord(LinearBlock* block, const user_t* user) {
    block->reset();
    block->addData(user->userName, USERBASEFILE_FIELD_SIZE);
    block->addData(user->password, USERBASEFILE_FIELD_SIZE);
    block->addData(user->userId);
    block->addData(user->singlePlayerHighscore);
    block->addData(user->singlePlayerGamesPlayed);
    block->addData(user->singlePlayerGameScoreSum);
    block->addData(user->singlePlayerHighscoreDate, USERBASEFILE_FIELD_SIZE);
    block->addData(user->twoPlayerGamesPlayed);
    block->addData(user->twoPlayerGamesWon);
}

bool isVersionMarker(const char* marker) {
    return memcmp(marker, VERSION_WORD, VERSION_WORD_LENGTH) == 0 &&
           marker[VERSION_DOT_OFFSET] == '.';
}

void printVersion(int major, int minor) {
    printf("Database version: %d.%d\n", major, minor);
    fflush(stdout);
}

void printText(const char* text) {
    puts(text);
    fflush(stdout);
}

bool isSymbolicLink(const char* fileName) {
    struct stat info;
    return lstat(fileName, &info) == 0 && S_ISLNK(info.st_mode);
}

void logFileError(const char* action, const char* fileName, int savedErrno) {
    char line[TOOLBOX_LINE_MAX];
    if ((savedErrno == ELOOP || savedErrno == EEXIST) && isSymbolicLink(fileName)) {
        snprintf(line, sizeof line, "Saving userbase failed: %s is a symbolic link, refused\n",
                 fileName);
    } else {
        snprintf(line, sizeof line, "Saving userbase failed: could not %s %s (%s)\n", action,
                 fileName, strerror(savedErrno));
    }
    Toolbox::printError(line);
}

// Makes a rename in the directory survive a power loss.
void syncCurrentDirectory() {
    int directory = -1;
    if (fileOpen(&directory, CURRENT_DIRECTORY, OSAFILEMODE_READ) != OSAERR_OK) {
        return;
    }
    fileSync(&directory);
    fileClose(&directory);
}

bool copyOpenFile(int* source, int* target) {
    char chunk[COPY_CHUNK_SIZE];
    for (;;) {
        int got = readUpTo(source, chunk, sizeof chunk);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (fileWrite(target, chunk, got) != OSAERR_OK) {
            return false;
        }
    }
}

}  // namespace

void* saveUserbaseFunction(void* userBaseFile) {
    static_cast<UserBaseFile*>(userBaseFile)->saveThreadLoop();
    return nullptr;
}

UserBaseFile* UserBaseFile::getInstance() {
    if (theInstance == nullptr) {
        // Tests that kill the server binary during saves need saves every
        // few hundred milliseconds; what ships is the schedule above.
        const char* testSaveMs = getenv("CARVANTA_TEST_SAVE_MS");
        long saveMs = testSaveMs != nullptr ? atol(testSaveMs) : 0;
        if (saveMs > 0) {
            setSaveSchedule(saveMs, saveMs);
        }
        theInstance = new UserBaseFile();
    }
    return theInstance;
}

void UserBaseFile::setSaveSchedule(long firstMs, long intervalMs) {
    firstSaveMs = firstMs;
    saveIntervalMs = intervalMs;
}

UserBaseFile::UserBaseFile()
    : threadId(),
      users(),
      users21(),
      modified(false),
      block(new LinearBlock(USERBASEFILE_RECORD_SIZE)),
      blockSize(USERBASEFILE_RECORD_SIZE),
      scratch(),
      threadRunning(false),
      threadStarted(false),
      keepCopyName(),
      fileImage(new char[FILE_IMAGE_SIZE]) {
    mutexCreate(&dataMutex);
    threadConditionCreate(&stopCondition);
    readUserBase();
    // Set before the thread exists, so a destruction that comes before the
    // thread's first check still ends it.
    threadRunning = true;
    threadStarted = threadCreate(&threadId, saveUserbaseFunction, this) == OSAERR_OK;
    if (!threadStarted) {
        Toolbox::printError("Could not start the userbase save thread\n");
    }
}

UserBaseFile::~UserBaseFile() {
    {
        MutexGuard guard(&dataMutex);
        threadRunning = false;
        threadCondBroadcast(&stopCondition);
    }
    if (threadStarted) {
        threadWaitForExit(&threadId);
    }
    writeUserBase();
    for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
        delete users[slot];
        delete users21[slot];
    }
    delete block;
    delete[] fileImage;
    threadConditionDestroy(&stopCondition);
    mutexDestroy(&dataMutex);
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

// Names and passwords are taken to at most 19 characters; no byte past the
// 19th of the caller's text is read.
char* UserBaseFile::trim(char* trimmedString, char* string) {
    size_t length = strnlen(string, USERBASEFILE_FIELD_SIZE - 1);
    size_t start = 0;
    while (start < length && string[start] == ' ') {
        start++;
    }
    while (length > start && string[length - 1] == ' ') {
        length--;
    }
    memcpy(trimmedString, string + start, length - start);
    trimmedString[length - start] = '\0';
    return trimmedString;
}

// The slot of the first record of that name (and password, unless null).
int UserBaseFile::findLocked(char* name, char* password) {
    trim(scratch, name);
    char wanted[USERBASEFILE_FIELD_SIZE];
    if (password != nullptr) {
        readField(wanted, password, sizeof wanted);
    }
    for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
        user_t* user = users[slot];
        if (user == nullptr || strcmp(user->userName, scratch) != 0) {
            continue;
        }
        if (password == nullptr || strcmp(user->password, wanted) == 0) {
            return slot;
        }
    }
    return -1;
}

user_t* UserBaseFile::getUser(int id) {
    MutexGuard guard(&dataMutex);
    for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
        if (users[slot] != nullptr && users[slot]->userId == id) {
            return users[slot];
        }
    }
    return nullptr;
}

int UserBaseFile::findNewUserId() {
    int largest = 0;
    for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
        if (users[slot] != nullptr && users[slot]->userId > largest) {
            largest = users[slot]->userId;
        }
    }
    if (largest == INT_MAX) {
        return -1;  // only a hand-edited file gets here
    }
    return largest + 1;
}

int UserBaseFile::checkUser(char* name) {
    MutexGuard guard(&dataMutex);
    int slot = findLocked(name, nullptr);
    return slot < 0 ? -1 : users[slot]->userId;
}

int UserBaseFile::checkCredentials(char* name, char* password) {
    MutexGuard guard(&dataMutex);
    int slot = findLocked(name, password);
    return slot < 0 ? -1 : users[slot]->userId;
}

int UserBaseFile::deleteUser(char* name, char* password) {
    MutexGuard guard(&dataMutex);
    int slot = findLocked(name, password);
    if (slot < 0) {
        return -1;
    }
    int id = users[slot]->userId;
    delete users[slot];
    users[slot] = nullptr;
    modified = true;
    return id;
}

// Refuses a name that exists: the caller's check and this call are two
// steps, and two sign-ups of one name may both pass the check.
int UserBaseFile::addUser(char* name, char* password) {
    MutexGuard guard(&dataMutex);
    if (findLocked(name, nullptr) >= 0) {
        return -1;
    }
    int freeSlot = 0;
    while (freeSlot < USERBASEFILE_MAX_USERS && users[freeSlot] != nullptr) {
        freeSlot++;
    }
    if (freeSlot == USERBASEFILE_MAX_USERS) {
        printText("User database full, user not added");
        return -1;
    }
    int id = findNewUserId();
    if (id == -1) {
        return -1;
    }
    user_t* user = new user_t();
    copyField(user->userName, sizeof user->userName, trim(scratch, name));
    copyField(user->password, sizeof user->password, password);
    copyField(user->singlePlayerHighscoreDate, sizeof user->singlePlayerHighscoreDate,
              NEW_ACCOUNT_DATE);
    user->userId = id;
    users[freeSlot] = user;
    modified = true;
    return id;
}

// The credential check and the update are one step under the lock, so an
// account deleted meanwhile is never updated.
int UserBaseFile::addSinglePlayerScore(char* name, char* password, int score) {
    MutexGuard guard(&dataMutex);
    int slot = findLocked(name, password);
    if (slot < 0) {
        return -1;
    }
    user_t* user = users[slot];
    if (user->singlePlayerHighscore <= score) {
        user->singlePlayerHighscore = score;
        todayText(user->singlePlayerHighscoreDate);
    }
    user->singlePlayerGameScoreSum = saturatingAdd(user->singlePlayerGameScoreSum, score);
    user->singlePlayerGamesPlayed = saturatingAdd(user->singlePlayerGamesPlayed, 1);
    modified = true;
    return user->userId;
}

char* UserBaseFile::getSinglePlayerHighscoreList(char* name, char* password, int* listLength) {
    MutexGuard guard(&dataMutex);
    if (findLocked(name, password) < 0) {
        *listLength = 0;
        return nullptr;
    }
    *listLength = buildHighscoreListLocked(highscoreList) * USERBASE_ENTRY_SIZE;
    return highscoreList;
}

int UserBaseFile::copySinglePlayerHighscoreList(char* name, char* password, char* buffer) {
    MutexGuard guard(&dataMutex);
    if (findLocked(name, password) < 0) {
        return -1;
    }
    return buildHighscoreListLocked(buffer) * USERBASE_ENTRY_SIZE;
}

// Best first; equal scores in table order; scores below 0 and from the
// ceiling up are left out. Returns the number of entries.
int UserBaseFile::buildHighscoreListLocked(char* list) {
    int ceiling = HIGHSCORE_CEILING;
    int entries = 0;
    for (int pass = 0; pass < USERBASE_LIST_ENTRIES; pass++) {
        int best = -1;
        for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
            user_t* user = users[slot];
            if (user != nullptr && user->singlePlayerHighscore < ceiling &&
                user->singlePlayerHighscore > best) {
                best = user->singlePlayerHighscore;
            }
        }
        if (best < 0) {
            break;
        }
        for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
            user_t* user = users[slot];
            if (user != nullptr && user->singlePlayerHighscore == best &&
                entries < USERBASE_LIST_ENTRIES) {
                writeEntryLocked(list + entries * USERBASE_ENTRY_SIZE, entries + 1, user);
                entries++;
            }
        }
        ceiling = best;
    }
    return entries;
}

void UserBaseFile::writeEntryLocked(char* slot, int rank, user_t* user) {
    memset(slot, 0, USERBASE_ENTRY_SIZE);
    snprintf(slot, USERBASE_ENTRY_SIZE, "%3d. %10s %10s %4d", rank, user->userName,
             user->singlePlayerHighscoreDate, user->singlePlayerHighscore);
}

void UserBaseFile::getUserName(char* buffer, int id) {
    MutexGuard guard(&dataMutex);
    user_t* user = getUser(id);
    if (user == nullptr) {
        buffer[0] = '\0';
        return;
    }
    memcpy(buffer, user->userName, USERBASEFILE_FIELD_SIZE);
}

void UserBaseFile::dumpStatistics() {
    puts("###########################################################");
    puts("|Id   |User      |***  SINGLE PLAYER GAME ***     |");
    puts("|     |          |Played|  High|   Ave|     HSDate|");
    puts("|_________________________________________________|");
    {
        MutexGuard guard(&dataMutex);
        for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
            user_t* user = users[slot];
            if (user == nullptr) {
                continue;
            }
            int played = user->singlePlayerGamesPlayed;
            int average = played == 0 ? 0 : user->singlePlayerGameScoreSum / played;
            printf("|%5d|%10s|%6d|%6d|%6d|%11s|\n", user->userId, user->userName, played,
                   user->singlePlayerHighscore, average, user->singlePlayerHighscoreDate);
        }
    }
    puts("|_________________________________________________|");
    puts("###########################################################");
    fflush(stdout);
}

void UserBaseFile::copyStoreStatus(userBaseStatus_t* status) {
    status->kind = "file";
    status->remote = false;
    status->lastReached = true;
    int accounts = 0;
    {
        MutexGuard guard(&dataMutex);
        for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
            accounts += users[slot] != nullptr ? 1 : 0;
        }
    }
    status->accounts = accounts;
}

// ---------------------------------------------------------------- reading

void UserBaseFile::readUserBase() {
    printText("Reading userbase");
    MutexGuard guard(&dataMutex);
    int file = -1;
    if (fileOpen(&file, DATA_FILE, OSAFILEMODE_READ) != OSAERR_OK) {
        int savedErrno = errno;
        modified = false;
        if (savedErrno != ENOENT) {
            // There is a file we cannot read: no save may replace it before
            // a copy of it is kept, and that copy needs it readable.
            logFileError("open", DATA_FILE, savedErrno);
            keepCopyBeforeSave(DAMAGED_FILE);
        }
        return;  // no file yet: the store starts empty
    }
    block->setVirtualBlockSize(USERBASEFILE_VERSION_SIZE);
    int got = readUpTo(&file, block->getDataBlock(), VERSION_BLOCK_BYTES);
    if (got < VERSION_BLOCK_BYTES) {
        if (got != 0) {
            keepCopyBeforeSave(DAMAGED_FILE);  // too short to be ours
        }
        fileClose(&file);
        modified = false;
        return;
    }
    bool checksumFailed = block->deobfuscateData();
    char marker[USERBASEFILE_VERSION_SIZE];
    block->reset();
    block->getData(marker, sizeof marker);
    if (!checksumFailed && isVersionMarker(marker)) {
        readCurrentLayout(&file, marker);
        fileClose(&file);
        modified = false;
        return;
    }
    if (!checksumFailed) {
        printVersion(0, 0);
    }
    fileClose(&file);
    readOlderLayout();
}

void UserBaseFile::readCurrentLayout(int* file, const char* marker) {
    int major =
        (marker[VERSION_MAJOR_OFFSET] - '0') * 10 + (marker[VERSION_MAJOR_OFFSET + 1] - '0');
    printVersion(major, marker[VERSION_MINOR_OFFSET] - '0');
    bool incomplete = major < VERSION_MAJOR_CURRENT || readRecords(file);
    if (incomplete) {
        keepCopyBeforeSave(DAMAGED_FILE);
    }
}

// A file without a version marker: read as layout 2.1 and convert it, or
// start empty when it is not one.
void UserBaseFile::readOlderLayout() {
    printText("Database has no version information. It may be a version 2.1 formatted database");
    if (readUserBase21()) {
        printText("FAILED READING DATABASE FROM DISK");
        keepCopyBeforeSave(DAMAGED_FILE);
        modified = false;
        return;
    }
    printText("Converting data");
    convert21To30();
    // The 2.1 file stays as user.dat.old; the table is written at once.
    keepCopyBeforeSave(OLD_FILE);
    modified = true;
    writeUserBase();
}

// Reads the records of the current layout. True when the table holds less
// than the file: a damaged record (dropped, the rest not read) or bytes that
// are no whole record.
bool UserBaseFile::readRecords(int* file) {
    block->setVirtualBlockSize(blockSize);
    for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
        int got = readUpTo(file, block->getDataBlock(), RECORD_BLOCK_BYTES);
        if (got == 0) {
            return false;
        }
        if (got < RECORD_BLOCK_BYTES) {
            Toolbox::printError("user.dat ends in a part of a record, which is not read\n");
            return true;
        }
        if (block->deobfuscateData()) {
            printText("User database compromised, skipping rest of the database");
            return true;
        }
        users[slot] = new user_t();
        decodeRecord(block, users[slot]);
        printf("User: %s\n", users[slot]->userName);
        fflush(stdout);
    }
    char extra = 0;
    if (readUpTo(file, &extra, 1) != 0) {
        Toolbox::printError("user.dat holds more than 100 records; the rest is not read\n");
        return true;
    }
    return false;
}

bool UserBaseFile::readUserBase21() {
    block->setVirtualBlockSize(USERBASEFILE_RECORD21_SIZE);
    printText("Trying to read version 2.1 userbase format");
    MutexGuard guard(&dataMutex);
    int file = -1;
    if (fileOpen(&file, DATA_FILE, OSAFILEMODE_READ) != OSAERR_OK) {
        return true;
    }
    bool failed = false;
    for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
        if (readUpTo(&file, block->getDataBlock(), RECORD21_BLOCK_BYTES) < RECORD21_BLOCK_BYTES) {
            break;  // a file that ends early is no failure
        }
        if (block->deobfuscateData()) {
            printText("User database apparently not version 2.1 or database compromised");
            failed = true;
            break;
        }
        users21[slot] = new user21_t();
        decodeRecord21(block, users21[slot]);
        printf("User: %s\n", users21[slot]->userName);
        fflush(stdout);
    }
    fileClose(&file);
    modified = false;
    if (failed) {
        for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
            delete users21[slot];
            users21[slot] = nullptr;
        }
    }
    return failed;
}

// The games count of a 2.1 record is not carried over, so that the average
// starts from nothing.
void UserBaseFile::convert21To30() {
    MutexGuard guard(&dataMutex);
    for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
        user21_t* old = users21[slot];
        if (old == nullptr) {
            continue;
        }
        printf("Converting user: %s\n", old->userName);
        fflush(stdout);
        user_t* user = new user_t();
        memcpy(user->userName, old->userName, USERBASEFILE_FIELD_SIZE);
        memcpy(user->password, old->password, USERBASEFILE_FIELD_SIZE);
        memcpy(user->singlePlayerHighscoreDate, old->singlePlayerHighscoreDate,
               USERBASEFILE_FIELD_SIZE);
        user->userId = old->userId;
        user->singlePlayerHighscore = old->singlePlayerHighscore;
        user->twoPlayerGamesPlayed = old->twoPlayerGamesPlayed;
        user->twoPlayerGamesWon = old->twoPlayerGamesWon;
        users[slot] = user;
        delete old;
        users21[slot] = nullptr;
    }
}

void UserBaseFile::keepCopyBeforeSave(const char* copyName) {
    copyText(keepCopyName, sizeof keepCopyName, copyName);
}

// ---------------------------------------------------------------- writing

// Writes the table if it changed: the whole file goes to a temporary file
// that is flushed to disk and then renamed over user.dat, so a crash leaves
// the old or the new file. A failed save leaves the old file and keeps
// `modified`, so the next check tries again. True when nothing is unsaved.
bool UserBaseFile::writeUserBase() {
    int length;
    {
        MutexGuard guard(&dataMutex);
        if (!modified) {
            return true;
        }
        printText("Writing userbase");
        length = buildFileImageLocked();
        modified = false;  // changes from now on set it again
    }
    if (copyKeptFile() && writeFileImage(length)) {
        return true;
    }
    MutexGuard guard(&dataMutex);
    modified = true;
    return false;
}

int UserBaseFile::buildFileImageLocked() {
    block->setVirtualBlockSize(USERBASEFILE_VERSION_SIZE);
    block->reset();
    block->addData(VERSION_MARKER, USERBASEFILE_VERSION_SIZE);
    block->obfuscateData();
    memcpy(fileImage, block->getDataBlock(), VERSION_BLOCK_BYTES);
    int length = VERSION_BLOCK_BYTES;
    block->setVirtualBlockSize(blockSize);
    for (int slot = 0; slot < USERBASEFILE_MAX_USERS; slot++) {
        if (users[slot] == nullptr) {
            continue;
        }
        encodeRecord(block, users[slot]);
        block->obfuscateData();
        memcpy(fileImage + length, block->getDataBlock(), RECORD_BLOCK_BYTES);
        length += RECORD_BLOCK_BYTES;
    }
    return length;
}

// The daemon works in /tmp/, where anybody may plant a file or a link under
// the temporary name: whatever stands there is removed (a link, not what it
// points to), and the file is created anew, never opened.
bool UserBaseFile::writeFileImage(int length) {
    int file = -1;
    fileRemove(TEMP_FILE);
    if (fileOpen(&file, TEMP_FILE, OSAFILEMODE_CREATENEW) != OSAERR_OK) {
        logFileError("open", TEMP_FILE, errno);
        return false;
    }
    const char* failedAction = nullptr;
    if (fileWrite(&file, fileImage, length) != OSAERR_OK) {
        failedAction = "write";
    } else if (fileSync(&file) != OSAERR_OK) {
        failedAction = "flush";
    }
    int savedErrno = errno;
    fileClose(&file);
    if (failedAction != nullptr) {
        logFileError(failedAction, TEMP_FILE, savedErrno);
        return false;
    }
    if (fileRenameChecked(TEMP_FILE, DATA_FILE) != OSAERR_OK) {
        logFileError("rename to user.dat", TEMP_FILE, errno);
        return false;
    }
    syncCurrentDirectory();
    return true;
}

// Before user.dat is first replaced, the file as read is copied aside when
// the table holds less than it did (or it was converted). Until the copy is
// on disk, user.dat is not replaced.
bool UserBaseFile::copyKeptFile() {
    if (keepCopyName[0] == '\0') {
        return true;
    }
    int source = -1;
    if (fileOpen(&source, DATA_FILE, OSAFILEMODE_READ) != OSAERR_OK) {
        int savedErrno = errno;
        if (savedErrno == ENOENT) {
            keepCopyName[0] = '\0';  // gone meanwhile: nothing left to keep
            return true;
        }
        logFileError("open", DATA_FILE, savedErrno);
        return false;
    }
    // Opened without following a link, so a link planted under the copy's
    // name refuses the save instead of emptying a file of somebody's choice.
    int target = -1;
    if (fileOpen(&target, keepCopyName, OSAFILEMODE_WRITE) != OSAERR_OK) {
        logFileError("create", keepCopyName, errno);
        fileClose(&source);
        return false;
    }
    bool copied = copyOpenFile(&source, &target) && fileSync(&target) == OSAERR_OK;
    int savedErrno = errno;
    fileClose(&source);
    fileClose(&target);
    if (!copied) {
        logFileError("copy user.dat to", keepCopyName, savedErrno);
        return false;
    }
    if (strcmp(keepCopyName, OLD_FILE) != 0) {  // user.dat.old is the usual conversion
        char line[TOOLBOX_LINE_MAX];
        snprintf(line, sizeof line, "The unreadable user.dat is kept as %s\n", keepCopyName);
        Toolbox::printInfo(line);
    }
    keepCopyName[0] = '\0';
    return true;
}

// ------------------------------------------------------------ save thread

// First check after firstSaveMs, then every saveIntervalMs; ends as soon as
// the destructor clears threadRunning.
void UserBaseFile::saveThreadLoop() {
    long waitMs = firstSaveMs;
    for (;;) {
        long long deadline = clockMonotonicMs() + waitMs;
        {
            MutexGuard guard(&dataMutex);
            while (threadRunning && clockMonotonicMs() < deadline) {
                threadCondTimedWait(&stopCondition, &dataMutex,
                                    static_cast<long>(deadline - clockMonotonicMs()));
            }
            if (!threadRunning) {
                return;
            }
        }
        writeUserBase();
        waitMs = saveIntervalMs;
    }
}
