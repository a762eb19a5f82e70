// PlayFieldFuzz.cpp - arbitrary sequences of play field operations (deal,
// tag and untag anywhere on or off the field, remove the tagged cards,
// reset, empty, search) on the cards of one deck, dealt without repeats as
// a game does. Checks after every step: the tag record agrees with the
// count, the set search agrees with an independent form of the set rule
// (for every attribute the three values sum to a multiple of 3), and
// addCard fails exactly when all 18 positions are taken.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include "Deck.h"
#include "FuzzSupport.h"
#include "VirtualPlayField.h"

namespace {

enum operation_t {
    OP_DEAL,
    OP_TAG,
    OP_UNTAG,
    OP_REMOVE_TAGGED,
    OP_RESET,
    OP_EMPTY,
    OP_FIND,
    OP_IS_SET_TAGGED,
    OP_COUNT
};

const int MAX_OPERATIONS = 400;
// Coordinates the fuzzer may name: one beyond each edge of the field.
const int COORD_MIN = -1;

bool ruleHolds(const card_t* a, const card_t* b, const card_t* c) {
    return (a->color + b->color + c->color) % 3 == 0 &&
           (a->symbol + b->symbol + c->symbol) % 3 == 0 &&
           (a->number + b->number + c->number) % 3 == 0 &&
           (a->filling + b->filling + c->filling) % 3 == 0;
}

int cardsOnField(VirtualPlayField* field) {
    int count = 0;
    for (int index = 0; index < PLAYFIELD_POSITIONS; index++) {
        if (field->getCard(index / PLAYFIELD_COLUMNS, index % PLAYFIELD_COLUMNS) != nullptr) {
            count++;
        }
    }
    return count;
}

card_t* cardAt(VirtualPlayField* field, int index) {
    return field->getCard(index / PLAYFIELD_COLUMNS, index % PLAYFIELD_COLUMNS);
}

void checkFindSet(VirtualPlayField* field) {
    set_t sets[PLAYFIELD_MAX_SETS];
    int found = field->findSet(sets);
    int expected = 0;
    for (int i = 0; i < PLAYFIELD_POSITIONS; i++) {
        for (int j = i + 1; j < PLAYFIELD_POSITIONS; j++) {
            for (int k = j + 1; k < PLAYFIELD_POSITIONS; k++) {
                card_t* a = cardAt(field, i);
                card_t* b = cardAt(field, j);
                card_t* c = cardAt(field, k);
                if (a == nullptr || b == nullptr || c == nullptr || !ruleHolds(a, b, c)) {
                    continue;
                }
                FUZZ_CHECK(expected < found);
                const set_t& set = sets[expected];
                FUZZ_CHECK(set.row[0] * PLAYFIELD_COLUMNS + set.col[0] == i);
                FUZZ_CHECK(set.row[1] * PLAYFIELD_COLUMNS + set.col[1] == j);
                FUZZ_CHECK(set.row[2] * PLAYFIELD_COLUMNS + set.col[2] == k);
                expected++;
            }
        }
    }
    FUZZ_CHECK(found == expected);
}

void checkTags(VirtualPlayField* field) {
    int tagged = field->getNumberOfTaggedCards();
    FUZZ_CHECK(tagged >= 0 && tagged <= SET_CARD_COUNT);
    set_t record = field->getTaggedCards();
    int used = 0;
    for (int entry = 0; entry < SET_CARD_COUNT; entry++) {
        if (record.row[entry] < 0) {
            continue;
        }
        FUZZ_CHECK(record.row[entry] < PLAYFIELD_ROWS);
        FUZZ_CHECK(record.col[entry] >= 0 && record.col[entry] < PLAYFIELD_COLUMNS);
        used++;
    }
    FUZZ_CHECK(used == tagged);
}

void checkIsSetTagged(VirtualPlayField* field) {
    bool answer = field->isSetTagged();
    bool expected = false;
    if (field->getNumberOfTaggedCards() == SET_CARD_COUNT) {
        set_t record = field->getTaggedCards();
        card_t* cards[SET_CARD_COUNT];
        expected = true;
        for (int entry = 0; entry < SET_CARD_COUNT; entry++) {
            cards[entry] = field->getCard(record.row[entry], record.col[entry]);
            expected = expected && cards[entry] != nullptr;
        }
        expected = expected && ruleHolds(cards[0], cards[1], cards[2]);
    }
    FUZZ_CHECK(answer == expected);
}

void deal(VirtualPlayField* field, Deck* deck) {
    card_t* card = deck->nextCard();
    if (card == nullptr) {
        return;
    }
    bool full = cardsOnField(field) == PLAYFIELD_POSITIONS;
    int row = -1;
    int col = -1;
    bool placed = field->addCard(card, &row, &col);
    FUZZ_CHECK(placed == !full);
    if (placed) {
        FUZZ_CHECK(field->getCard(row, col) == card);
    }
}

void runOperation(FuzzedDataProvider* input, VirtualPlayField* field, Deck* deck) {
    int operation = input->ConsumeIntegralInRange<int>(0, OP_COUNT - 1);
    int row = input->ConsumeIntegralInRange<int>(COORD_MIN, PLAYFIELD_ROWS);
    int col = input->ConsumeIntegralInRange<int>(COORD_MIN, PLAYFIELD_COLUMNS);
    switch (operation) {
        case OP_DEAL:
            deal(field, deck);
            break;
        case OP_TAG:
        case OP_UNTAG:
            field->setTagging(row, col, operation == OP_TAG);
            break;
        case OP_REMOVE_TAGGED:
            field->removeTaggedCards();
            break;
        case OP_RESET:
            // A new game: a fresh deck, so cards are never dealt twice.
            field->resetPlayField();
            deck->resetDeck();
            deck->resetCards();
            if (input->ConsumeBool()) {
                deck->shuffleDeck();
            }
            break;
        case OP_EMPTY:
            field->emptyPlayField();
            break;
        case OP_FIND:
            checkFindSet(field);
            break;
        default:
            checkIsSetTagged(field);
            break;
    }
    checkTags(field);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    srand(static_cast<unsigned>(size));
    FuzzedDataProvider input(data, size);
    VirtualPlayField field;
    Deck deck;
    if (input.ConsumeBool()) {
        deck.shuffleDeck();
    }
    for (int step = 0; step < MAX_OPERATIONS && input.remaining_bytes() > 0; step++) {
        runOperation(&input, &field, &deck);
    }
    checkFindSet(&field);
    checkIsSetTagged(&field);
    return 0;
}
