// Format detection: the first table whose probe accepts the image.
#include "viredovozu.h"

const cpio_ops *cpio_find_ops_for_img__(const void *image) {
    static constexpr const cpio_ops *in_order[] = {&cpio_ops__newc, &cpio_ops__odc, &cpio_ops__bin};
    for (const cpio_ops *ops : in_order)
        if (ops->probe(image)) return ops;
    return nullptr;
}
