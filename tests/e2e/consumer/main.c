/* The shop: lists the articles (their names are copies made in the
 * library), sums a cart and prints a report (report.cpp). */
#include <stdio.h>
#include <stdlib.h>

#include "cart.h"
#include "stock.h"

void print_report(const char *title, double total);

int main(void)
{
	char *first = stock_name(0);
	char *second = stock_name(1);

	if (first == NULL || second == NULL)
		return 1;
	printf("%s, %s\n", first, second);
	free(first);
	print_report("cart", cart_total(3));
	return 0;
}
