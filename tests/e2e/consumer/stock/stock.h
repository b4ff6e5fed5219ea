#ifndef STOCK_H
#define STOCK_H

#ifdef STOCK_BUILD
#define STOCK_API __attribute__((visibility("default")))
#else
#define STOCK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The name of article `i`, as a copy the caller frees. */
STOCK_API char *stock_name(int i);
/* A price list of `n` prices that stock_release frees. */
STOCK_API double *stock_prices(int n);
STOCK_API void stock_release(double *prices);

#ifdef __cplusplus
}
#endif

#endif
