// PlayConsole.h - `CarvantaClient play`: the single-player game in the
// terminal or from a script. Checks the account first (unless offline),
// shows the table, reads claims and commands one per line, and at the end
// records the score and shows the high-score list. Main thread only.
#ifndef PLAYCONSOLE_H
#define PLAYCONSOLE_H

#include "ClientOptions.h"
#include "SoloGame.h"

class LineReader;

class PlayConsole {
public:
    explicit PlayConsole(const clientOptions_t& options);
    PlayConsole(const PlayConsole&) = delete;
    PlayConsole& operator=(const PlayConsole&) = delete;

    // The exit status (CLIENTEXIT_...).
    int run();

private:
    int checkAccount();
    // True when the game is to go on.
    bool playLine(SoloGame* game, char* line);
    void playClaim(SoloGame* game, const int* rows, const int* cols);
    void playMore(SoloGame* game);
    void playHint(SoloGame* game);
    void showTable(SoloGame* game);
    void showState(SoloGame* game);
    int recordScore(int score);
    long long elapsedMs();

    const clientOptions_t& options;
    long long startMs;
    bool interactive;
};

// Reads "a1 b3 c2" (any order and case, blanks or commas between) into
// three rows and columns. False for anything else.
bool parsePositions(const char* line, int* rows, int* cols);

#endif
