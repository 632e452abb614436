/* A test program for the simulated boards that answers: once started it
   prints "sketch NAME ok" on UART0 and from then on sends back every byte it
   receives, so a serial monitor can see its own line come back. */
#include "uart.h"

int main(void)
{
    uartStart();

    putText("sketch " STRINGIFY(SKETCH_NAME) " ok\r\n");
    for (;;) {
        if (UCSR0A & _BV(RXC0))
            putChar((char)UDR0);
    }
}
