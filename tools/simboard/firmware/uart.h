/* UART0 of the AVR test programs, at the speed the bootloaders use. */
#ifndef SIMBOARD_UART_H
#define SIMBOARD_UART_H

#include <avr/io.h>

#define STRINGIFY_TOKENS(x) #x
#define STRINGIFY(x) STRINGIFY_TOKENS(x)

enum {
    /* 115200 baud at 16 MHz in double-speed mode: UBRR 16 is 2.1 % fast,
       the setting the bootloaders and the usual serial library use. */
    kUbrr115200DoubleSpeed = 16
};

static inline void uartStart(void)
{
    UCSR0A = _BV(U2X0);
    UBRR0 = kUbrr115200DoubleSpeed;
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);
}

static inline void putChar(char c)
{
    while (!(UCSR0A & _BV(UDRE0)))
        ;
    UDR0 = c;
}

static inline void putText(const char *text)
{
    while (*text)
        putChar(*text++);
}

#endif
