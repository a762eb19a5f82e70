// CardTable.cpp - the card message as a table of text. A card shows as its
// symbols (count = number, bracket = symbol, inside = filling) over two
// lines of words; rows are A to C, columns 1 to 6.
#include "CardTable.h"

#include <stdio.h>
#include <string.h>

#include "TextBuffer.h"

namespace {

const int CELL_WIDTH = 17;
const int ROW_LABEL_WIDTH = 4;
const char ROW_LABELS[PLAYFIELD_ROWS + 1] = "ABC";
const int WORDS_MAX = 32;
const int CARD_LINE_MAX = 256;
const int POSITION_NAME_MAX = 8;

const char* const COLOUR_WORDS[] = {"?", "red", "blue", "purple"};
const char* const COLOUR_CODES[] = {"", "\033[31m", "\033[34m", "\033[35m"};
const char COLOUR_RESET[] = "\033[0m";
const char* const SYMBOL_WORDS[] = {"?", "ellipse", "rectangle", "wave"};
const char SYMBOL_OPEN[] = "?([~";
const char SYMBOL_CLOSE[] = "?)]~";
const char* const FILLING_WORDS[] = {"?", "open", "solid", "half"};
const char FILLING_MARKS[] = "? #/";

// Attribute values run from 1 to 3; anything else shows as '?'.
int attribute(int value) {
    return value >= 1 && value <= CARD_ATTRIBUTE_VALUES ? value : 0;
}

// "(#) (#)" for two solid ellipses.
void glyphs(char* out, size_t size, const card_t* card) {
    out[0] = '\0';
    int symbol = attribute(card->symbol);
    int filling = attribute(card->filling);
    for (int i = 0; i < attribute(card->number); i++) {
        appendText(out, size, "%s%c%c%c", i == 0 ? "" : " ", SYMBOL_OPEN[symbol],
                   FILLING_MARKS[filling], SYMBOL_CLOSE[symbol]);
    }
}

// One cell: text padded to the cell width, coloured when asked.
void appendCell(char* text, size_t size, const char* cell, const char* colour) {
    int padding = CELL_WIDTH - static_cast<int>(strlen(cell));
    if (colour[0] != '\0') {
        appendText(text, size, "%s%s%s%*s", colour, cell, COLOUR_RESET, padding, "");
    } else {
        appendText(text, size, "%s%*s", cell, padding, "");
    }
}

// Lines of a card, from the top: symbols, number and colour, filling and
// symbol in words. An empty position shows a dot on its first line.
const int CARD_LINES = 3;

const char* cellText(char* cell, size_t size, const card_t* card, int line, bool colours) {
    cell[0] = '\0';
    if (card == nullptr) {
        appendText(cell, size, "%s", line == 0 ? "." : "");
        return "";
    }
    const char* colour = colours ? COLOUR_CODES[attribute(card->color)] : "";
    if (line == 0) {
        glyphs(cell, size, card);
        return colour;
    }
    if (line == 1) {
        appendText(cell, size, "%d %s", attribute(card->number),
                   COLOUR_WORDS[attribute(card->color)]);
        return colour;
    }
    appendText(cell, size, "%s %s", FILLING_WORDS[attribute(card->filling)],
               SYMBOL_WORDS[attribute(card->symbol)]);
    return "";
}

void trimTrailingBlanks(char* line) {
    size_t length = strlen(line);
    while (length > 0 && line[length - 1] == ' ') {
        line[--length] = '\0';
    }
}

void positionName(char* out, size_t size, int row, int col) {
    snprintf(out, size, "%c%d", ROW_LABELS[row], col + 1);
}

}  // namespace

CardTable::CardTable() {
    clear();
}

void CardTable::clear() {
    memset(grid, 0, sizeof grid);
    cardCount = 0;
}

const card_t* CardTable::cardAt(int row, int col) const {
    if (row < 0 || row >= PLAYFIELD_ROWS || col < 0 || col >= PLAYFIELD_COLUMNS) {
        return nullptr;
    }
    return grid[row][col];
}

bool CardTable::load(const char* payload, int length) {
    clear();
    if (length < 1) {
        return false;
    }
    int count = static_cast<unsigned char>(payload[0]);
    if (count > PLAYFIELD_POSITIONS || length < 1 + CARDTABLE_BYTES_PER_CARD * count) {
        return false;
    }
    for (int k = 0; k < count; k++) {
        const char* entry = payload + 1 + CARDTABLE_BYTES_PER_CARD * k;
        if (!placeCard(static_cast<unsigned char>(entry[0]), static_cast<unsigned char>(entry[1]),
                       static_cast<unsigned char>(entry[2]))) {
            clear();
            return false;
        }
    }
    return true;
}

bool CardTable::placeCard(int row, int col, int stackIndex) {
    card_t* card = deck.getCardByIndex(stackIndex);
    if (card == nullptr || row >= PLAYFIELD_ROWS || col >= PLAYFIELD_COLUMNS ||
        grid[row][col] != nullptr) {
        return false;
    }
    for (int r = 0; r < PLAYFIELD_ROWS; r++) {
        for (int c = 0; c < PLAYFIELD_COLUMNS; c++) {
            if (grid[r][c] == card) {
                return false;  // the same card twice
            }
        }
    }
    grid[row][col] = card;
    cardCount++;
    return true;
}

// The shared play field places cards in its own order; each set it finds
// is mapped back to the positions of the message.
int CardTable::findSets(set_t* sets) {
    VirtualPlayField field;
    int fromRow[PLAYFIELD_ROWS][PLAYFIELD_COLUMNS];
    int fromCol[PLAYFIELD_ROWS][PLAYFIELD_COLUMNS];
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        for (int col = 0; col < PLAYFIELD_COLUMNS; col++) {
            int placedRow = 0;
            int placedCol = 0;
            if (grid[row][col] != nullptr &&
                field.addCard(grid[row][col], &placedRow, &placedCol)) {
                fromRow[placedRow][placedCol] = row;
                fromCol[placedRow][placedCol] = col;
            }
        }
    }
    int found = field.findSet(sets);
    for (int s = 0; s < found; s++) {
        for (int t = 0; t < SET_CARD_COUNT; t++) {
            int placedRow = sets[s].row[t];
            int placedCol = sets[s].col[t];
            sets[s].row[t] = fromRow[placedRow][placedCol];
            sets[s].col[t] = fromCol[placedRow][placedCol];
        }
    }
    return found;
}

void CardTable::formatRow(char* text, size_t size, int row, int firstCol, int lastCol,
                          bool colours) {
    for (int line = 0; line < CARD_LINES; line++) {
        char lineText[CARD_LINE_MAX];
        lineText[0] = '\0';
        appendText(lineText, sizeof lineText, "%-*c", ROW_LABEL_WIDTH,
                   line == 0 ? ROW_LABELS[row] : ' ');
        for (int col = firstCol; col <= lastCol; col++) {
            char cell[WORDS_MAX];
            const char* colour = cellText(cell, sizeof cell, grid[row][col], line, colours);
            appendCell(lineText, sizeof lineText, cell, colour);
        }
        trimTrailingBlanks(lineText);
        appendText(text, size, "%s\n", lineText);
    }
}

void CardTable::formatSets(char* text, size_t size) {
    set_t sets[PLAYFIELD_MAX_SETS];
    int found = findSets(sets);
    if (found == 0) {
        appendText(text, size, "No set on the table.\n");
        return;
    }
    appendText(text, size, "%d set%s on the table:", found, found == 1 ? "" : "s");
    for (int s = 0; s < found; s++) {
        appendText(text, size, "%s", s == 0 ? " " : ", ");
        for (int t = 0; t < SET_CARD_COUNT; t++) {
            char name[POSITION_NAME_MAX];
            positionName(name, sizeof name, sets[s].row[t], sets[s].col[t]);
            appendText(text, size, "%s%s", t == 0 ? "" : " ", name);
        }
    }
    appendText(text, size, "\n");
}

void CardTable::format(char* text, size_t size, bool colours) {
    formatTable(text, size, colours);
    formatSets(text, size);
}

// Only the columns from the first to the last that hold a card are drawn.
void CardTable::formatTable(char* text, size_t size, bool colours) {
    int firstCol = PLAYFIELD_COLUMNS;
    int lastCol = -1;
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        for (int col = 0; col < PLAYFIELD_COLUMNS; col++) {
            if (grid[row][col] != nullptr) {
                firstCol = col < firstCol ? col : firstCol;
                lastCol = col > lastCol ? col : lastCol;
            }
        }
    }
    appendText(text, size, "Cards on the table (%d):\n%*s", cardCount, ROW_LABEL_WIDTH, "");
    for (int col = firstCol; col <= lastCol; col++) {
        appendText(text, size, "%-*d", col < lastCol ? CELL_WIDTH : 1, col + 1);
    }
    appendText(text, size, "\n");
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        formatRow(text, size, row, firstCol, lastCol, colours);
    }
    appendText(text, size,
               "Symbols: ( ) ellipse, [ ] rectangle, ~ ~ wave; inside: blank open, "
               "# solid, / half.\n");
}
