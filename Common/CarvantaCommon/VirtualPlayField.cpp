// VirtualPlayField.cpp - placement, tagging, the set rule and the set search
// of the 3 x 6 play field.
#include "VirtualPlayField.h"

#include <stddef.h>

namespace {

struct PlaceOrder {
    int row;
    int col;
};

// The middle four columns fill first (the opening twelve cards), row by
// row, then the right-hand column, then the left-hand one.
const PlaceOrder PLACEMENT_ORDER[PLAYFIELD_POSITIONS] = {
    {0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 1},
    {2, 2}, {2, 3}, {2, 4}, {0, 5}, {1, 5}, {2, 5}, {0, 0}, {1, 0}, {2, 0}};

// True when the three values are all equal or all different.
bool attributeFits(int a, int b, int c) {
    bool allEqual = a == b && b == c;
    bool allDifferent = a != b && a != c && b != c;
    return allEqual || allDifferent;
}

}  // namespace

VirtualPlayField::VirtualPlayField() : numberOfTaggedCards(0), taggedCards(), cardsInPlay() {
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        for (int col = 0; col < PLAYFIELD_COLUMNS; col++) {
            positions[row][col] = new VirtualPlayFieldPosition();
        }
    }
    clearTagRecord();
}

VirtualPlayField::~VirtualPlayField() {
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        for (int col = 0; col < PLAYFIELD_COLUMNS; col++) {
            delete positions[row][col];
        }
    }
}

bool VirtualPlayField::isOnField(int row, int col) {
    return row >= 0 && row < PLAYFIELD_ROWS && col >= 0 && col < PLAYFIELD_COLUMNS;
}

void VirtualPlayField::clearTagRecord() {
    numberOfTaggedCards = 0;
    for (int t = 0; t < SET_CARD_COUNT; t++) {
        taggedCards.row[t] = -1;
        taggedCards.col[t] = -1;
    }
}

bool VirtualPlayField::addCard(card_t* card, int* addedRow, int* addedCol) {
    for (int k = 0; k < PLAYFIELD_POSITIONS; k++) {
        if (placeAt(card, PLACEMENT_ORDER[k].row, PLACEMENT_ORDER[k].col, addedRow, addedCol)) {
            return true;
        }
    }
    return false;
}

bool VirtualPlayField::placeAt(card_t* card, int row, int col, int* addedRow, int* addedCol) {
    VirtualPlayFieldPosition* position = positions[row][col];
    if (position->hasCard()) {
        return false;
    }
    addCardToPosition(card, position);
    if (addedRow != nullptr) {
        *addedRow = row;
    }
    if (addedCol != nullptr) {
        *addedCol = col;
    }
    return true;
}

void VirtualPlayField::addCardToPosition(card_t* card, VirtualPlayFieldPosition* position) {
    position->setCard(card);
}

card_t* VirtualPlayField::getCard(int row, int col) {
    if (!isOnField(row, col)) {
        return nullptr;
    }
    return positions[row][col]->getCard();
}

bool VirtualPlayField::setTagging(int row, int col, bool tagged) {
    if (!isOnField(row, col)) {
        return false;
    }
    VirtualPlayFieldPosition* position = positions[row][col];
    if (position->isTagged() == tagged) {
        return false;  // a second entry for one position would count it twice
    }
    if (tagged) {
        if (numberOfTaggedCards >= SET_CARD_COUNT || !position->hasCard()) {
            return false;
        }
        position->setTagging(true);
        updatePlayFieldInfo(row, col);
        return numberOfTaggedCards == SET_CARD_COUNT;
    }
    position->setTagging(false);
    updatePlayFieldInfo(row, col);
    return false;
}

void VirtualPlayField::updatePlayFieldInfo(int row, int col) {
    if (positions[row][col]->isTagged()) {
        for (int t = 0; t < SET_CARD_COUNT; t++) {
            if (taggedCards.row[t] < 0) {
                taggedCards.row[t] = row;
                taggedCards.col[t] = col;
                numberOfTaggedCards++;
                return;
            }
        }
        return;
    }
    for (int t = 0; t < SET_CARD_COUNT; t++) {
        if (taggedCards.row[t] == row && taggedCards.col[t] == col) {
            taggedCards.row[t] = -1;
            taggedCards.col[t] = -1;
            numberOfTaggedCards--;
        }
    }
}

void VirtualPlayField::untagTaggedCards() {
    for (int t = 0; t < SET_CARD_COUNT; t++) {
        int row = taggedCards.row[t];
        int col = taggedCards.col[t];
        if (row >= 0 && col >= 0) {
            setTagging(row, col, false);
        }
    }
}

void VirtualPlayField::removeTaggedCards() {
    for (int t = 0; t < SET_CARD_COUNT; t++) {
        int row = taggedCards.row[t];
        int col = taggedCards.col[t];
        if (row >= 0 && col >= 0) {
            setTagging(row, col, false);
            positions[row][col]->removeCard();
        }
    }
}

void VirtualPlayField::resetPlayField() {
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        for (int col = 0; col < PLAYFIELD_COLUMNS; col++) {
            positions[row][col]->reset();
        }
    }
    clearTagRecord();
}

void VirtualPlayField::emptyPlayField() {
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        for (int col = 0; col < PLAYFIELD_COLUMNS; col++) {
            if (positions[row][col]->hasCard()) {
                positions[row][col]->removeCard();
            }
        }
    }
}

bool VirtualPlayField::isSet(card_t** cards) {
    return brokenAttribute(cards) == nullptr;
}

const char* VirtualPlayField::brokenAttribute(card_t** cards) {
    card_t* a = cards[0];
    card_t* b = cards[1];
    card_t* c = cards[2];
    if (!attributeFits(a->color, b->color, c->color)) {
        return "colour";
    }
    if (!attributeFits(a->number, b->number, c->number)) {
        return "number";
    }
    if (!attributeFits(a->symbol, b->symbol, c->symbol)) {
        return "symbol";
    }
    if (!attributeFits(a->filling, b->filling, c->filling)) {
        return "filling";
    }
    return nullptr;
}

bool VirtualPlayField::isSetTagged() {
    if (numberOfTaggedCards != SET_CARD_COUNT) {
        return false;
    }
    card_t* cards[SET_CARD_COUNT];
    for (int t = 0; t < SET_CARD_COUNT; t++) {
        cards[t] = getCard(taggedCards.row[t], taggedCards.col[t]);
        if (cards[t] == nullptr) {
            return false;  // a tagged card was removed since
        }
    }
    return isSet(cards);
}

void VirtualPlayField::refreshCardsInPlay() {
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        for (int col = 0; col < PLAYFIELD_COLUMNS; col++) {
            cardsInPlay[row * PLAYFIELD_COLUMNS + col] = positions[row][col]->getCard();
        }
    }
}

bool VirtualPlayField::isSetAt(int i, int j, int k) {
    card_t* triple[SET_CARD_COUNT] = {cardsInPlay[i], cardsInPlay[j], cardsInPlay[k]};
    if (triple[0] == nullptr || triple[1] == nullptr || triple[2] == nullptr) {
        return false;
    }
    return isSet(triple);
}

int VirtualPlayField::findSet(set_t* sets) {
    refreshCardsInPlay();
    int found = 0;
    for (int i = 0; i < PLAYFIELD_POSITIONS - 2; i++) {
        for (int j = i + 1; j < PLAYFIELD_POSITIONS - 1; j++) {
            for (int k = j + 1; k < PLAYFIELD_POSITIONS; k++) {
                // Distinct cards never exceed the room; a field that holds
                // one card twice could, so the output stops there.
                if (found >= PLAYFIELD_MAX_SETS || !isSetAt(i, j, k)) {
                    continue;
                }
                int indices[SET_CARD_COUNT] = {i, j, k};
                for (int t = 0; t < SET_CARD_COUNT; t++) {
                    sets[found].row[t] = indices[t] / PLAYFIELD_COLUMNS;
                    sets[found].col[t] = indices[t] % PLAYFIELD_COLUMNS;
                }
                found++;
            }
        }
    }
    return found;
}
