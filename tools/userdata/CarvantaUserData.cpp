// CarvantaUserData.cpp - the operator's inspector for user.dat: dump,
// verify and export-sql. Single-threaded; reads the file once and never
// writes it.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "UserDataFile.h"
#include "UserDataReport.h"
#include "UserDataSqlExport.h"

namespace {

// Exit statuses, also listed in the help text.
const int EXIT_DONE = 0;
const int EXIT_DAMAGED = 1;
const int EXIT_USAGE = 2;
const int EXIT_UNREADABLE = 3;
const int EXIT_LEFT_OUT = 4;

const char DEFAULT_FILE[] = "user.dat";
const int TIME_TEXT_SIZE = 80;

const char HELP_TEXT[] =
    "Usage: CarvantaUserData COMMAND [OPTIONS] [FILE]\n"
    "Reads a Carvanta user data file (FILE, or user.dat in the current directory),\n"
    "in the current layout or the older layout 2.1. It never writes the file, so it\n"
    "is safe on the file of a running server (which rewrites the file about once a\n"
    "minute after changes: a copy made between saves is what the next start reads).\n"
    "\n"
    "Commands:\n"
    "  dump [--csv] [--show-passwords] [FILE]\n"
    "      Every account as a table (or CSV with --csv): id, name, password, best\n"
    "      score and its date, games played, score sum and average, two-player\n"
    "      counters. Passwords show as stars unless --show-passwords is given.\n"
    "  verify [FILE]\n"
    "      Checks the layout and every block's checksum, and that every record has\n"
    "      terminated text fields, an id of 1 or more, and an id and a name of its\n"
    "      own. Exit status 0 only for a sound file; otherwise it names the first\n"
    "      bad block and says what the server would load from the file.\n"
    "  export-sql [--force] [FILE]\n"
    "      SQL on standard output that moves every account into the MySQL store\n"
    "      (tables of sql/schema.sql), so that the server can be switched to\n"
    "      'database_type mysql' without losing anyone: each account keeps its\n"
    "      name and password (stored as MD5) and gets one scorelog row with its\n"
    "      best score and the date of that score (score 0 dated 0000-00-00 for an\n"
    "      account that never played, so that it stays in the high-score list).\n"
    "      Cannot be carried over: the single games behind the best score (the\n"
    "      file keeps none), games played and the score sum (the MySQL store counts\n"
    "      its scorelog rows instead), the two-player counters, and the user ids.\n"
    "      The SQL is one transaction: if a name is in the database already, the\n"
    "      import stops and stores nothing. The output holds the passwords in\n"
    "      clear; delete it after the import. A damaged file is refused unless\n"
    "      --force is given, which exports the accounts that the server would load.\n"
    "      Load it with: mariadb -u USER -p DATABASE < accounts.sql\n"
    "  help\n"
    "      This text.\n"
    "\n"
    "Exit status: 0 done (verify: the file is sound); 1 the file is damaged or is no\n"
    "user data file; 2 wrong usage; 3 the file cannot be read; 4 export-sql left out\n"
    "accounts whose name an earlier account of the file has (named on standard\n"
    "error).\n";

typedef struct {
    const char* command;
    const char* fileName;
    bool csv;
    bool showPasswords;
    bool force;
} options_t;

int usageError(const char* what, const char* word) {
    fprintf(stderr, "CarvantaUserData: %s: %s\nTry 'CarvantaUserData help'.\n", what, word);
    return EXIT_USAGE;
}

// True for an option that the command takes; sets it.
bool takeOption(options_t* options, const char* word) {
    bool dump = strcmp(options->command, "dump") == 0;
    if (dump && strcmp(word, "--csv") == 0) {
        options->csv = true;
    } else if (dump && strcmp(word, "--show-passwords") == 0) {
        options->showPasswords = true;
    } else if (strcmp(options->command, "export-sql") == 0 && strcmp(word, "--force") == 0) {
        options->force = true;
    } else {
        return false;
    }
    return true;
}

int parseArguments(int argc, char** argv, options_t* options) {
    memset(options, 0, sizeof *options);
    options->fileName = DEFAULT_FILE;
    if (argc < 2) {
        return usageError("no command given", "dump, verify, export-sql or help");
    }
    options->command = argv[1];
    bool fileGiven = false;
    for (int i = 2; i < argc; i++) {
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            if (!takeOption(options, argv[i])) {
                return usageError("unknown option", argv[i]);
            }
        } else if (fileGiven) {
            return usageError("more than one file given", argv[i]);
        } else {
            options->fileName = argv[i];
            fileGiven = true;
        }
    }
    return EXIT_DONE;
}

// Loads the file; EXIT_DONE, or EXIT_UNREADABLE after saying why.
int loadFile(UserDataFile* file, const char* fileName) {
    if (file->load(fileName) != USERDATAERR_OK) {
        fprintf(stderr, "CarvantaUserData: cannot read ");
        UserDataReport::printSafe(stderr, fileName, 0);
        fprintf(stderr, ": %s\n", strerror(file->getOpenErrno()));
        return EXIT_UNREADABLE;
    }
    return EXIT_DONE;
}

void printFaults(FILE* out, const UserDataFile& file, const char* fileName) {
    for (int i = 0; i < file.getFaultCount(); i++) {
        const userDataFault_t* fault = file.getFault(i);
        if (fault == nullptr) {
            fprintf(out, "  ... and %d more fault(s)\n", file.getFaultCount() - i);
            return;
        }
        if (i == 0) {
            UserDataReport::printSafe(out, fileName, 0);
            fprintf(out, ": NOT SOUND: %s\n", fault->text);
        } else {
            fprintf(out, "  also: %s\n", fault->text);
        }
    }
}

int runDump(const options_t& options, const UserDataFile& file) {
    if (options.csv) {
        UserDataReport::printCsv(stdout, file, options.showPasswords);
    } else {
        UserDataReport::printTable(stdout, file, options.fileName, options.showPasswords);
    }
    printFaults(stderr, file, options.fileName);
    return file.isSound() ? EXIT_DONE : EXIT_DAMAGED;
}

int runVerify(const options_t& options, const UserDataFile& file) {
    UserDataReport::printSummary(stdout, file, options.fileName);
    if (!file.isSound()) {
        printFaults(stdout, file, options.fileName);
        return EXIT_DAMAGED;
    }
    UserDataReport::printSafe(stdout, options.fileName, 0);
    fputs(": sound", stdout);
    if (file.getLayout() == USERDATALAYOUT_21) {
        fputs(
            " (layout 2.1: the server converts it at its next start and keeps this file "
            "as user.dat.old)",
            stdout);
    }
    fputs("\n", stdout);
    return EXIT_DONE;
}

int runExport(const options_t& options, const UserDataFile& file) {
    if (!file.isSound()) {
        printFaults(stderr, file, options.fileName);
        if (!options.force) {
            fprintf(stderr,
                    "export-sql: nothing exported; --force exports the %d account(s) "
                    "that the server would load\n",
                    file.getRecordCount());
            return EXIT_DAMAGED;
        }
    }
    char now[TIME_TEXT_SIZE];
    time_t seconds = time(nullptr);
    struct tm local;
    localtime_r(&seconds, &local);
    strftime(now, sizeof now, "%Y-%m-%d %H:%M:%S", &local);
    int leftOut = UserDataSqlExport::write(stdout, stderr, file, options.fileName, now);
    return leftOut > 0 ? EXIT_LEFT_OUT : EXIT_DONE;
}

}  // namespace

int main(int argc, char** argv) {
    options_t options;
    int status = parseArguments(argc, argv, &options);
    if (status != EXIT_DONE) {
        return status;
    }
    const char* command = options.command;
    if (strcmp(command, "help") == 0 || strcmp(command, "--help") == 0) {
        fputs(HELP_TEXT, stdout);
        return EXIT_DONE;
    }
    bool known = strcmp(command, "dump") == 0 || strcmp(command, "verify") == 0 ||
                 strcmp(command, "export-sql") == 0;
    if (!known) {
        return usageError("unknown command", command);
    }
    UserDataFile file;
    status = loadFile(&file, options.fileName);
    if (status != EXIT_DONE) {
        return status;
    }
    if (strcmp(command, "dump") == 0) {
        return runDump(options, file);
    }
    if (strcmp(command, "verify") == 0) {
        return runVerify(options, file);
    }
    return runExport(options, file);
}
