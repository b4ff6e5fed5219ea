#ifndef POOL_H
#define POOL_H
struct slot {
    int value;
    int taken;
};
struct slot *slot_take(void);
void slot_fill(struct slot *s, int value);
void slot_give(struct slot *s);
#endif
