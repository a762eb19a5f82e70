// SetRule.h - the set rule worked out apart from the play field's tables.
#ifndef SETRULE_H
#define SETRULE_H

#include "Deck.h"

inline bool formSet(const card_t* a, const card_t* b, const card_t* c) {
    return (a->color + b->color + c->color) % 3 == 0 &&
           (a->symbol + b->symbol + c->symbol) % 3 == 0 &&
           (a->number + b->number + c->number) % 3 == 0 &&
           (a->filling + b->filling + c->filling) % 3 == 0;
}

#endif
