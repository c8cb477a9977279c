// Reading a product's header back: finding cards by keyword and reading
// their integer values, as despike and the CSV export do.
#include <cstring>

#include "fits/fits.h"

void find_header_cards(const char* header, int card_count, const char* const* prefixes, int count, int* cards) {
    int missing = count;
    for (int k = 0; k < count; ++k) cards[k] = -1;
    for (int card = 0; card < card_count && missing > 0; ++card) {
        const char* text = header + static_cast<size_t>(card) * kCardBytes;
        for (int k = 0; k < count; ++k) {
            if (cards[k] >= 0) continue;
            if (std::memcmp(text, prefixes[k], std::strlen(prefixes[k])) == 0) {
                cards[k] = card;
                --missing;
                break;
            }
        }
    }
}

int32_t read_card_integer(const char* card, size_t first, size_t end) {
    size_t i = first;
    while (i < end && card[i] == ' ') ++i;
    bool negative = false;
    if (i < end && (card[i] == '+' || card[i] == '-')) negative = card[i++] == '-';
    int64_t value = 0;
    for (; i < end && card[i] >= '0' && card[i] <= '9'; ++i) {
        value = value * 10 + (card[i] - '0');
        if (value > INT32_MAX) value = INT32_MAX;
    }
    return static_cast<int32_t>(negative ? -value : value);
}
