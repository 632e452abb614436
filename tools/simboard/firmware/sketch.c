/* A test program for the simulated boards. Once started it checks its table
   in program memory and prints "sketch NAME ok" (or "sketch NAME BAD") on
   UART0, again every second, so a late listener still sees it. Built with
   LINE_REPEAT_MS=0 it prints without a pause, as a program that logs all the
   time does. */
#include "sketchtable.h"
#include "uart.h"

#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>
#include <util/delay.h>

#ifndef LINE_REPEAT_MS
#define LINE_REPEAT_MS 1000
#endif

enum { kLineRepeatMs = LINE_REPEAT_MS };

#if TABLE_SIZE > 0
extern const uint8_t sketchTable[];
#endif

static uint8_t tableIntact(void)
{
#if TABLE_SIZE > 0
#if defined(RAMPZ)
    const uint32_t base = pgm_get_far_address(sketchTable);
#else
    const uint16_t base = (uint16_t)sketchTable;
#endif
    for (uint32_t i = 0; i < TABLE_SIZE; ++i) {
#if defined(RAMPZ)
        const uint8_t stored = pgm_read_byte_far(base + i);
#else
        const uint8_t stored = pgm_read_byte(base + i);
#endif
        if (stored != (uint8_t)TABLE_BYTE(i))
            return 0;
    }
#endif
    return 1;
}

int main(void)
{
    uartStart();

    const char *verdict = tableIntact() ? " ok\r\n" : " BAD\r\n";
    for (;;) {
        putText("sketch " STRINGIFY(SKETCH_NAME));
        putText(verdict);
        if (kLineRepeatMs > 0)
            _delay_ms(kLineRepeatMs);
    }
}
