/* A test program for the simulated boards that answers: once started it
   prints "sketch NAME ok" on UART0 and from then on sends back every byte it
   receives, so a serial monitor can see its own line come back. */
#include <avr/io.h>
#include <stdint.h>

#define STRINGIFY_TOKENS(x) #x
#define STRINGIFY(x) STRINGIFY_TOKENS(x)

enum {
    /* 115200 baud at 16 MHz in double-speed mode, as sketch.c sets it. */
    kUbrr115200DoubleSpeed = 16
};

static void putChar(char c)
{
    while (!(UCSR0A & _BV(UDRE0)))
        ;
    UDR0 = c;
}

static void putText(const char *text)
{
    while (*text)
        putChar(*text++);
}

int main(void)
{
    UCSR0A = _BV(U2X0);
    UBRR0 = kUbrr115200DoubleSpeed;
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);

    putText("sketch " STRINGIFY(SKETCH_NAME) " ok\r\n");
    for (;;) {
        if (UCSR0A & _BV(RXC0))
            putChar((char)UDR0);
    }
}
