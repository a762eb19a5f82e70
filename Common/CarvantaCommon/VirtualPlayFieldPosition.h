// VirtualPlayFieldPosition.h - one place of the play field: at most one card
// (owned by the deck) and a tag mark. Not locked: used by its field's owner.
#ifndef VIRTUALPLAYFIELDPOSITION_H
#define VIRTUALPLAYFIELDPOSITION_H

#include "Deck.h"

class VirtualPlayFieldPosition {
public:
    VirtualPlayFieldPosition();
    virtual ~VirtualPlayFieldPosition();

    // No card, not tagged.
    void reset();
    // Holds `card` (a card exactly when it is not null); the tag stays.
    void setCard(card_t* card);
    // No card; the tag stays.
    virtual void removeCard();

    card_t* getCard() { return card; }
    bool hasCard() { return positionHasCard; }
    bool isTagged() { return cardIsTagged; }
    void setTagging(bool tagged) { cardIsTagged = tagged; }

private:
    bool positionHasCard;
    bool cardIsTagged;
    card_t* card;
};

#endif
