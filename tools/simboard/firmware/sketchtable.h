/* The value of byte i of a test program's table. It depends on all bits of
   the index, so a page written to the wrong place shows up as wrong bytes.
   Shared by the table (assembler) and the check (C). */
#pragma once

#define TABLE_BYTE(i) ((((i)*131) + (((i) >> 8) * 7) + (((i) >> 16) * 13)) & 0xff)
