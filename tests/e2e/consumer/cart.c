/* Sums the prices of a cart. The price list comes from the library and is
 * released there; reading it afterwards is a use after free. */
#include <string.h>

#include "cart.h"
#include "stock.h"

double cart_total(int items)
{
	double *prices = stock_prices(items);
	double total = 0;
	double first;
	int i;

	if (prices == NULL)
		return -1;
	for (i = 0; i < items; i++)
		total += prices[i];
	stock_release(prices);
	memcpy(&first, prices, sizeof first);
	return total;
}
