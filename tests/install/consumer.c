/* A program built against an installed viredovozu: it walks a one-entry
 * newc archive held in memory and names the formats the library reads. */
#include <stdio.h>
#include <string.h>
#include <viredovozu.h>

/* Header, name and NUL padded to a multiple of 4, then data padded to 4. */
static const char archive[] =
    "070701"
    "00000001"
    "000081A4"
    "00000000"
    "00000000"
    "00000001"
    "00000000"
    "00000002"
    "00000000"
    "00000000"
    "00000000"
    "00000000"
    "00000003"
    "00000000"
    "hi\0\0\0\0"
    "ok\0\0"
    "070701"
    "00000000"
    "00000000"
    "00000000"
    "00000000"
    "00000001"
    "00000000"
    "00000000"
    "00000000"
    "00000000"
    "00000000"
    "00000000"
    "0000000B"
    "00000000"
    "TRAILER!!!\0\0\0";

int main(void) {
    cpioread_ctx ctx;
    cpio_simple_entity e;
    const char *const *f;
    if (cpioread_init(&ctx, archive) == NULL || cpioread_first(&ctx, &e) == NULL) return 1;
    if (strcmp(e.name, "hi") != 0 || e.filesize != 2 || memcmp(e.data, "ok", 2) != 0) return 2;
    printf("viredovozu %d.%d.%d reads", VIREDOVOZU_VERSION_MAJOR, VIREDOVOZU_VERSION_MINOR, VIREDOVOZU_VERSION_PATCH);
    for (f = skarnel_supported_formats(); *f != NULL; ++f) printf(" %s", *f);
    printf("\n");
    return 0;
}
