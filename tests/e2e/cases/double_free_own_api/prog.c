#include "kel.h"

int main(void) {
    kel_start("pool");
    struct slot *a = slot_take();
    slot_fill(a, 1);
    slot_give(a);
    slot_give(a);
    return 0;
}
