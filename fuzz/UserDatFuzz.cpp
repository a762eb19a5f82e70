// UserDatFuzz.cpp - the file store reading an arbitrary user.dat in a
// private directory: the raw input as the file, or a file of the current
// layout or of layout 2.1 built from the input with valid checksums (so the
// fuzzer reaches the record contents), optionally with one damaged byte or
// a cut-off tail. The store is then queried, changed, destroyed (which
// saves) and read again. Checks: no access outside any buffer, names and
// list entries stay terminated within their fields, and what was saved is
// there after the re-read.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "LinearBlock.h"
#include "TextCopy.h"
#include "UserBaseFile.h"

namespace {

enum layout_t { LAYOUT_RAW, LAYOUT_CURRENT, LAYOUT_21, LAYOUT_COUNT };

const char MARKER[USERBASEFILE_VERSION_SIZE] = "Version 04.0";
const int MAX_RECORDS = USERBASEFILE_MAX_USERS + 1;
const int MAX_RAW_FILE = 26 + 90 * MAX_RECORDS + 16;
const int IDS_TO_ASK = USERBASEFILE_MAX_USERS + 2;

struct Account {
    char name[USERBASEFILE_FIELD_SIZE];
    char password[USERBASEFILE_FIELD_SIZE];
};

void appendBlock(std::string* file, const std::vector<char>& data) {
    LinearBlock block(static_cast<int>(data.size()));
    block.setVirtualBlockSize(static_cast<int>(data.size()));
    block.reset();
    block.addData(data.data(), static_cast<int>(data.size()));
    block.obfuscateData();
    file->append(block.getDataBlock(), static_cast<size_t>(block.getDataBlockSize()));
}

// A file of the chosen layout; the accounts it names go to `accounts`.
std::string buildFile(FuzzedDataProvider* input, int layout, std::vector<Account>* accounts) {
    if (layout == LAYOUT_RAW) {
        return input->ConsumeBytesAsString(input->ConsumeIntegralInRange<size_t>(0, MAX_RAW_FILE));
    }
    std::string file;
    int recordSize = USERBASEFILE_RECORD21_SIZE;
    if (layout == LAYOUT_CURRENT) {
        recordSize = USERBASEFILE_RECORD_SIZE;
        std::vector<char> marker(MARKER, MARKER + sizeof MARKER);
        if (input->ConsumeBool()) {
            marker = input->ConsumeBytes<char>(sizeof MARKER);
            marker.resize(sizeof MARKER, 0);
        }
        appendBlock(&file, marker);
    }
    int records = input->ConsumeIntegralInRange<int>(0, MAX_RECORDS);
    for (int record = 0; record < records && input->remaining_bytes() > 0; record++) {
        std::vector<char> data = input->ConsumeBytes<char>(static_cast<size_t>(recordSize));
        data.resize(static_cast<size_t>(recordSize), 0);
        Account account;
        readField(account.name, data.data(), sizeof account.name);
        readField(account.password, data.data() + USERBASEFILE_FIELD_SIZE, sizeof account.password);
        accounts->push_back(account);
        appendBlock(&file, data);
    }
    if (!file.empty() && input->ConsumeBool()) {
        size_t at = input->ConsumeIntegral<uint16_t>() % file.size();
        file[at] = static_cast<char>(file[at] ^ input->ConsumeIntegralInRange<uint8_t>(1, 255));
    }
    if (!file.empty() && input->ConsumeBool()) {
        file.resize(file.size() - input->ConsumeIntegral<uint16_t>() % file.size());
    }
    return file;
}

void checkList(const char* list, int length) {
    FUZZ_CHECK(length >= 0 && length <= USERBASE_LIST_SIZE && length % USERBASE_ENTRY_SIZE == 0);
    for (int entry = 0; entry < length; entry += USERBASE_ENTRY_SIZE) {
        FUZZ_CHECK(memchr(list + entry, '\0', USERBASE_ENTRY_SIZE) != nullptr);
    }
}

void queryStore(UserBaseFile* store, std::vector<Account>* accounts) {
    for (int id = -1; id < IDS_TO_ASK; id++) {
        char name[USERBASE_NAME_SIZE];
        memset(name, 'x', sizeof name);
        store->getUserName(name, id);
        FUZZ_CHECK(memchr(name, '\0', sizeof name) != nullptr);
    }
    for (Account& account : *accounts) {
        store->checkUser(account.name);
        if (store->checkCredentials(account.name, account.password) == -1) {
            continue;
        }
        int length = -1;
        char* list = store->getSinglePlayerHighscoreList(account.name, account.password, &length);
        FUZZ_CHECK(list != nullptr);
        checkList(list, length);
        std::vector<char> copy(USERBASE_LIST_SIZE);
        checkList(copy.data(), store->copySinglePlayerHighscoreList(account.name, account.password,
                                                                    copy.data()));
    }
    store->dumpStatistics();
}

// Changes the store; the name of an account it signed up is kept in `added`.
void changeStore(FuzzedDataProvider* input, UserBaseFile* store, std::vector<Account>* accounts,
                 std::string* added) {
    if (!accounts->empty() && input->ConsumeBool()) {
        Account& account = accounts->front();
        store->addSinglePlayerScore(account.name, account.password, input->ConsumeIntegral<int>());
        if (input->ConsumeBool()) {
            store->deleteUser(account.name, account.password);
        }
    }
    if (input->ConsumeBool()) {
        Account account;
        copyText(account.name, sizeof account.name, "fuzz-added");
        copyText(account.password, sizeof account.password, "secret");
        if (store->checkUser(account.name) == -1 &&
            store->addUser(account.name, account.password) != -1) {
            *added = account.name;
        }
        accounts->push_back(account);
    }
}

void removeFiles() {
    fuzzRemoveFile("user.dat");
    fuzzRemoveFile("user.dat.old");
    fuzzRemoveFile("user.dat.damaged");
    fuzzRemoveFile("user.dat.tmp");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzQuietOutput();
    fuzzEnterWorkDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    srand(static_cast<unsigned>(size));
    FuzzedDataProvider input(data, size);
    int layout = input.ConsumeIntegralInRange<int>(0, LAYOUT_COUNT - 1);
    std::vector<Account> accounts;
    std::string file = buildFile(&input, layout, &accounts);
    removeFiles();
    fuzzWriteFile("user.dat", reinterpret_cast<const uint8_t*>(file.data()), file.size());

    UserBaseFile* store = UserBaseFile::getInstance();
    queryStore(store, &accounts);
    std::string added;
    changeStore(&input, store, &accounts, &added);
    queryStore(store, &accounts);
    delete store;

    // What the destructor saved must load again, the signed-up account too.
    store = UserBaseFile::getInstance();
    if (!added.empty()) {
        std::vector<char> name(added.begin(), added.end());
        name.push_back('\0');
        FUZZ_CHECK(store->checkUser(name.data()) != -1);
    }
    queryStore(store, &accounts);
    delete store;
    return 0;
}
