/* TABLE_SIZE bytes of TABLE_BYTE(index) in program memory. The section sorts
   after the code, so the code stays low and the table reaches past 64 KiB
   and 128 KiB on the large sketches. */
#include "sketchtable.h"

    .section .text.sketchtable,"a",@progbits
    .global sketchTable
sketchTable:
    .set index, 0
    .rept TABLE_SIZE
    .byte TABLE_BYTE(index)
    .set index, index + 1
    .endr
