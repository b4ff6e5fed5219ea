#ifndef WORK_H
#define WORK_H
void churn(int rounds);
void hold_and_release(int blocks);
void leak_names(int count);
#endif
