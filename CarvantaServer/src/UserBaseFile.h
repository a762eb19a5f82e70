// UserBaseFile.h - the account store kept in memory (100 records) and in the
// obfuscated data file user.dat of the working directory. Called from the
// reader threads, the game manager's thread and the main thread; dataMutex
// guards the table. The save thread writes the file after changes.
#ifndef USERBASEFILE_H
#define USERBASEFILE_H

#include <pthread.h>

#include "UserBase.h"

class LinearBlock;

// Size of the account table, and so the most accounts the store holds.
const int USERBASEFILE_MAX_USERS = 100;
// Width of the text fields of a record (name, password, date).
const int USERBASEFILE_FIELD_SIZE = 20;
// Data bytes of a current record, of a version 2.1 record and of the
// version marker.
const int USERBASEFILE_RECORD_SIZE = 84;
const int USERBASEFILE_RECORD21_SIZE = 80;
const int USERBASEFILE_VERSION_SIZE = 20;
// The save thread checks first after this long, then at every interval.
const long USERBASEFILE_FIRST_SAVE_MS = 60000;
const long USERBASEFILE_SAVE_INTERVAL_MS = 65000;

// An account record; in the file as 84 little-endian bytes in this order.
typedef struct {
    char userName[USERBASEFILE_FIELD_SIZE];
    char password[USERBASEFILE_FIELD_SIZE];
    int userId;
    int singlePlayerHighscore;
    int singlePlayerGamesPlayed;
    int singlePlayerGameScoreSum;
    char singlePlayerHighscoreDate[USERBASEFILE_FIELD_SIZE];
    int twoPlayerGamesPlayed;
    int twoPlayerGamesWon;
} user_t;

// A record of the older 2.1 file layout (80 bytes); read, never written.
typedef struct {
    char userName[USERBASEFILE_FIELD_SIZE];
    char password[USERBASEFILE_FIELD_SIZE];
    int userId;
    int singlePlayerHighscore;
    int singlePlayerGamesPlayed;
    char singlePlayerHighscoreDate[USERBASEFILE_FIELD_SIZE];
    int twoPlayerGamesPlayed;
    int twoPlayerGamesWon;
} user21_t;

class UserBaseFile : public UserBase {
public:
    // Creates the store on the first call (reads user.dat, starts the save
    // thread). First called on the main thread at start-up.
    static UserBaseFile* getInstance();
    // Stops the save thread, writes unsaved changes; the next getInstance()
    // creates a fresh store.
    ~UserBaseFile() override;

    int addUser(char* name, char* password) override;
    int deleteUser(char* name, char* password) override;
    int checkCredentials(char* name, char* password) override;
    int checkUser(char* name) override;
    int addSinglePlayerScore(char* name, char* password, int score) override;
    char* getSinglePlayerHighscoreList(char* name, char* password, int* listLength) override;
    int copySinglePlayerHighscoreList(char* name, char* password, char* buffer) override;
    void getUserName(char* buffer, int id) override;
    void dumpStatistics() override;
    void copyStoreStatus(userBaseStatus_t* status) override;

protected:
    // Tests only: a shorter save schedule for stores created afterwards.
    static void setSaveSchedule(long firstMs, long intervalMs);

private:
    UserBaseFile();
    friend void* saveUserbaseFunction(void* userBaseFile);

    char* trim(char* trimmedString, char* string);
    int findLocked(char* name, char* password);  // REQUIRES(dataMutex)
    user_t* getUser(int id);
    int findNewUserId();                                        // REQUIRES(dataMutex)
    int buildHighscoreListLocked(char* list);                   // REQUIRES(dataMutex)
    void writeEntryLocked(char* slot, int rank, user_t* user);  // REQUIRES(dataMutex)

    void readUserBase();
    void readCurrentLayout(int* file, const char* marker);  // REQUIRES(dataMutex)
    void readOlderLayout();                                 // REQUIRES(dataMutex)
    bool readRecords(int* file);
    bool readUserBase21();
    void convert21To30();
    void keepCopyBeforeSave(const char* copyName);

    // Only one writer runs at a time: the constructor, then the save thread,
    // then the destructor once the thread has ended.
    bool writeUserBase();
    int buildFileImageLocked();  // REQUIRES(dataMutex)
    bool writeFileImage(int length);
    bool copyKeptFile();
    void saveThreadLoop();

    static UserBaseFile* theInstance;
    static long firstSaveMs;
    static long saveIntervalMs;

    pthread_mutex_t dataMutex;
    pthread_cond_t stopCondition;  // signalled when threadRunning goes false
    pthread_t threadId;
    user_t* users[USERBASEFILE_MAX_USERS];      // GUARDED_BY(dataMutex)
    user21_t* users21[USERBASEFILE_MAX_USERS];  // GUARDED_BY(dataMutex)
    bool modified;                              // GUARDED_BY(dataMutex)
    LinearBlock* block;                         // GUARDED_BY(dataMutex)
    int blockSize;
    char scratch[USERBASEFILE_FIELD_SIZE];  // GUARDED_BY(dataMutex)
    bool threadRunning;                     // GUARDED_BY(dataMutex)
    bool threadStarted;                     // set on the main thread only
    // Name under which the file as read is kept before the first save
    // replaces it; empty when nothing needs keeping. Writer only.
    char keepCopyName[USERBASEFILE_FIELD_SIZE];
    // The whole file, built under the lock and written without it.
    char* fileImage;  // writer only
};

#endif
