// The record is header-only; compiling its header on its own keeps it self-contained.
#include "link/DeckState.hpp"
