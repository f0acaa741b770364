/* Compiled as C99 with -pedantic: the public header is valid C. Builds a
 * one-entry newc archive and walks it. */
#include <stdio.h>
#include <string.h>

#include "viredovozu.h"

static size_t put_header(char *out, unsigned long filesize, unsigned long namesize) {
    return (size_t)sprintf(out, "070701%08lX%08lX%08lX%08lX%08lX%08lX%08lX%08lX%08lX%08lX%08lX%08lX%08lX", 1ul,
                           0100644ul, 0ul, 0ul, 1ul, 0ul, filesize, 0ul, 0ul, 0ul, 0ul, namesize, 0ul);
}

int main(void) {
    char image[512];
    size_t n = 0;
    cpioread_ctx ctx;
    cpio_simple_entity e;
    unsigned count = 0;

    memset(image, 0, sizeof image);
    n += put_header(image + n, 5, 6);
    memcpy(image + n, "hello", 6);
    n += 6; /* 110 + 6 is already a multiple of 4 */
    memcpy(image + n, "world", 5);
    n += 8;
    n += put_header(image + n, 0, 11);
    memcpy(image + n, "TRAILER!!!", 11);

    if (cpioread_init(&ctx, image) == NULL || ctx.ops != &cpio_ops__newc) return 1;
    for (cpio_simple_entity *p = cpioread_first(&ctx, &e); p != NULL; p = cpioread_next(&ctx, &e)) {
        if (strcmp(e.name, "hello") != 0 || e.filesize != 5 || memcmp(e.data, "world", 5) != 0) return 2;
        ++count;
    }
    printf("walked %u entry\n", count);
    return count == 1 ? 0 : 3;
}
