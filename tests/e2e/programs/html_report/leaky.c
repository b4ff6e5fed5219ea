/* Compiled under the file name "<img src=x onerror=alert(1)>.c", so that the
 * report must show that name as text. One record a name, never freed. */
#include "kel.h"
#include "work.h"

static char *names[8];

void leak_names(int count)
{
	for (int i = 0; i < count && i < 8; ++i)
		names[i] = malloc(16);
}
