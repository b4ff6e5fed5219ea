#ifndef CART_H
#define CART_H

#ifdef __cplusplus
extern "C" {
#endif

double cart_total(int items);

#ifdef __cplusplus
}
#endif

#endif
