#include "pool.h"

static struct slot slots[4];

struct slot *slot_take(void) {
    for (int i = 0; i < 4; ++i) {
        if (!slots[i].taken) {
            slots[i].taken = 1;
            return &slots[i];
        }
    }
    return 0;
}

void slot_fill(struct slot *s, int value) { s->value = value; }

void slot_give(struct slot *s) { s->taken = 0; }
