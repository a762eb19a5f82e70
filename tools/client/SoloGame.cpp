// SoloGame.cpp - see SoloGame.h. The play field places new cards in its own
// order (the middle columns first), so a set taken away is replaced where
// it lay while the table holds twelve cards or fewer.
#include "SoloGame.h"

#include <stdlib.h>

#include "CardTable.h"

SoloGame::SoloGame(unsigned int seed, long long nowMs)
    : score(0), setsFound(0), wrongClaims(0), tableChangedMs(nowMs) {
    srand(seed);
    deck.shuffleDeck();
    deal(SOLOGAME_TABLE_CARDS);
}

void SoloGame::deal(int cards) {
    for (int k = 0; k < cards; k++) {
        card_t* card = deck.nextCard();
        if (card == nullptr || !field.addCard(card, nullptr, nullptr)) {
            return;
        }
    }
}

void SoloGame::addPoints(int points) {
    score += points;
    if (score < 0) {
        score = 0;
    }
}

claimOutcome_t SoloGame::claim(const int* rows, const int* cols, long long nowMs) {
    claimOutcome_t outcome = {CLAIM_NO_CARD, 0, nullptr};
    card_t* cards[SET_CARD_COUNT];
    for (int t = 0; t < SET_CARD_COUNT; t++) {
        for (int u = 0; u < t; u++) {
            if (rows[u] == rows[t] && cols[u] == cols[t]) {
                outcome.result = CLAIM_TWICE;
                return outcome;
            }
        }
        cards[t] = field.getCard(rows[t], cols[t]);
        if (cards[t] == nullptr) {
            return outcome;
        }
    }
    outcome.brokenAttribute = VirtualPlayField::brokenAttribute(cards);
    if (outcome.brokenAttribute != nullptr) {
        outcome.result = CLAIM_NOT_A_SET;
        outcome.points = -SOLOGAME_WRONG_PENALTY;
        wrongClaims++;
        addPoints(outcome.points);
        return outcome;
    }
    for (int t = 0; t < SET_CARD_COUNT; t++) {
        field.setTagging(rows[t], cols[t], true);
    }
    field.removeTaggedCards();
    long long taken = nowMs - tableChangedMs;
    long faster = SOLOGAME_BONUS_WINDOW_MS - static_cast<long>(taken < 0 ? 0 : taken);
    int bonus = faster > 0 ? static_cast<int>(faster / SOLOGAME_BONUS_STEP_MS) : 0;
    outcome.result = CLAIM_SET;
    outcome.points = SOLOGAME_SET_POINTS + bonus;
    setsFound++;
    addPoints(outcome.points);
    int onTable = cardsOnTable();
    if (onTable < SOLOGAME_TABLE_CARDS) {
        deal(SOLOGAME_TABLE_CARDS - onTable);
    }
    tableChangedMs = nowMs;
    return outcome;
}

moreResult_t SoloGame::more(long long nowMs, int* points) {
    *points = 0;
    if (setsOnTable() > 0) {
        *points = -SOLOGAME_WRONG_PENALTY;
        addPoints(*points);
        return MORE_SET_ON_TABLE;
    }
    if (deck.cardsInDeck() == 0) {
        return MORE_DECK_EMPTY;
    }
    if (cardsOnTable() + SET_CARD_COUNT > PLAYFIELD_POSITIONS) {
        return MORE_TABLE_FULL;
    }
    deal(SET_CARD_COUNT);
    tableChangedMs = nowMs;
    return MORE_GRANTED;
}

bool SoloGame::hint(int* row, int* col, int* points) {
    set_t sets[PLAYFIELD_MAX_SETS];
    *points = 0;
    if (field.findSet(sets) == 0) {
        return false;
    }
    *row = sets[0].row[0];
    *col = sets[0].col[0];
    *points = -SOLOGAME_HINT_PENALTY;
    addPoints(*points);
    return true;
}

bool SoloGame::isOver() {
    bool noRoom = cardsOnTable() + SET_CARD_COUNT > PLAYFIELD_POSITIONS;
    return (deck.cardsInDeck() == 0 || noRoom) && setsOnTable() == 0;
}

int SoloGame::cardsOnTable() {
    int count = 0;
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        for (int col = 0; col < PLAYFIELD_COLUMNS; col++) {
            count += field.getCard(row, col) != nullptr ? 1 : 0;
        }
    }
    return count;
}

int SoloGame::setsOnTable() {
    set_t sets[PLAYFIELD_MAX_SETS];
    return field.findSet(sets);
}

int SoloGame::tableMessage(char* payload, int size) {
    int length = 1;
    int count = 0;
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        for (int col = 0; col < PLAYFIELD_COLUMNS; col++) {
            card_t* card = field.getCard(row, col);
            if (card == nullptr || length + CARDTABLE_BYTES_PER_CARD > size) {
                continue;
            }
            payload[length++] = static_cast<char>(row);
            payload[length++] = static_cast<char>(col);
            payload[length++] = static_cast<char>(card->stackIndex);
            count++;
        }
    }
    payload[0] = static_cast<char>(count);
    return length;
}
