/* Allocates only through the project's wrappers. With PLANT_BUGS one copy
 * is leaked and one block is released twice: each finding names the line
 * in this file, not a line inside xalloc.c. */
#include <stdio.h>
#include <string.h>

#include "xalloc.h"
#include "kel.h"

int main(void) {
    char *name, *buf, *spare;
    kel_start("xalloc");
    name = xstrdup("kel");
    buf = xmalloc(32);
    spare = xstrdup("spare");
    snprintf(buf, 32, "%s!", name);
    puts(buf);
    xfree(buf);
    xfree(name);
#ifdef PLANT_BUGS
    xfree(name);
    spare[0] = 'S';
#else
    xfree(spare);
#endif
    return 0;
}
