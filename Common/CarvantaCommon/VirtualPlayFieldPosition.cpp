// VirtualPlayFieldPosition.cpp - one place of the play field.
#include "VirtualPlayFieldPosition.h"

VirtualPlayFieldPosition::VirtualPlayFieldPosition()
    : positionHasCard(false), cardIsTagged(false), card(nullptr) {}

VirtualPlayFieldPosition::~VirtualPlayFieldPosition() {}

void VirtualPlayFieldPosition::reset() {
    positionHasCard = false;
    cardIsTagged = false;
    card = nullptr;
}

void VirtualPlayFieldPosition::setCard(card_t* newCard) {
    card = newCard;
    positionHasCard = newCard != nullptr;
}

void VirtualPlayFieldPosition::removeCard() {
    card = nullptr;
    positionHasCard = false;
}
