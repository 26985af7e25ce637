/* Kalimor's USB serial bridge: an ATmega328P board (Arduino Uno or Nano,
 * 16 MHz) between the program and an AD9850/AD9851 module.
 *
 *   Arduino  AVR   module
 *   D8       PB0   W_CLK
 *   D9       PB1   FQ_UD
 *   D10      PB2   DATA (D7)
 *   D11      PB3   RESET
 *   A0       ADC0  detector output (network analyser)
 *
 * The receive interrupt only fills a ring buffer; the main loop parses whole
 * frames and acts on a frame only when its length and checksum are right, so
 * a damaged or partial frame never latches a word. See protocol.h.
 */
#include "protocol.h"

#include <avr/interrupt.h>
#include <avr/io.h>
#include <stdint.h>
#include <util/crc16.h>
#include <util/delay.h>

#define BAUD 115200
/* 16 MHz gives 115200 baud within 2.1 % (with U2X), as every Arduino runs it
 * and every USB-serial chip accepts; setbaud's default tolerance is 2 %. */
#define BAUD_TOL 3
#include <util/setbaud.h>

#define PIN_WCLK _BV(PB0)
#define PIN_FQUD _BV(PB1)
#define PIN_DATA _BV(PB2)
#define PIN_RESET _BV(PB3)

/* A frame whose bytes stop coming for this long is cut short (~20 ms). */
#define FRAME_TIMEOUT_LOOPS 10000

/* The board's clock: Timer1 at 2 MHz, its overflows counted in 32 bits, read
 * as 32 bits of microseconds (wrapping after 71.6 minutes, as the host's due
 * times do; every time is compared by signed difference). The count lives
 * outside the start-up code's zeroing: where the clock starts is nobody's
 * business, so a test may start it just before the wrap. */
static volatile uint32_t timerHigh __attribute__((section(".noinit")));

ISR(TIMER1_OVF_vect) {
    ++timerHigh;
}

static uint32_t nowUs(void) {
    const uint8_t sreg = SREG;
    cli();
    uint16_t low = TCNT1;
    uint32_t high = timerHigh;
    if ((TIFR1 & _BV(TOV1)) && low < 0x8000) ++high; /* an overflow not yet counted */
    SREG = sreg;
    /* Bits 1..32 of the 2 MHz count; shifting by whole bytes, as here,
     * costs a few instructions where `high << 15` costs a loop. */
    const uint32_t us = (((uint32_t)high << 16) | low) >> 1;
    return (high & 0x10000UL) ? us | 0x80000000UL : us;
}

/* The timed queue. The AD9850 takes the 40 bits into its input register at
 * any time and changes its output only on FQ_UD's rising edge, so the main
 * loop clocks the head's word in ahead of its time, with interrupts on, and
 * the compare interrupt only raises FQ_UD: a microsecond, on the timer's
 * edge, and never long enough to cost the receiver a byte. */
typedef struct {
    uint32_t due;
    uint8_t bits[5];
} Timed;
static Timed queue[BRIDGE_QUEUE_SLOTS];
static volatile uint8_t qHead, qCount;
static volatile uint8_t preloaded; /* the chip's input register holds the head's word */
static volatile uint32_t latchedCount, lastDue;
static volatile uint16_t lateCount;
static uint8_t lastBits[5];
static volatile uint16_t worstLate;
/* What the chip's output holds, for the dead-man guard to power down. */
static volatile uint8_t chipBits[5];

static volatile uint8_t armed; /* the compare interrupt waits for the head's time */

/* A load latched this long after its time missed it. */
#define LATE_US 500

static void shiftWord(const uint8_t* bits40);
static void pulse(uint8_t pin);

/* Notes the head as latched at `at` and takes it off. Only the main loop
 * moves the queue's head and count, so this needs interrupts on only. */
static void bookHead(uint32_t at) {
    const Timed* t = &queue[qHead];
    const int32_t late = (int32_t)(at - t->due);
    if (late > (int32_t)worstLate) worstLate = late > 0xFFFF ? 0xFFFF : (uint16_t)late;
    if (late > LATE_US) ++lateCount;
    lastDue = t->due;
    for (uint8_t k = 0; k < 5; ++k) lastBits[k] = chipBits[k] = t->bits[k];
    ++latchedCount;
    qHead = (uint8_t)((qHead + 1) % BRIDGE_QUEUE_SLOTS);
    --qCount;
    preloaded = 0;
}

/* The head's time: its word is in the chip already, so FQ_UD's edge is all
 * there is to do here; the main loop books it. */
static volatile uint8_t fired;
static volatile uint32_t firedAt;

ISR(TIMER1_COMPA_vect) {
    PORTB |= PIN_FQUD;
    PORTB &= (uint8_t)~PIN_FQUD;
    TIMSK1 &= (uint8_t)~_BV(OCIE1A);
    firedAt = nowUs();
    fired = 1;
    armed = 0;
}

static volatile uint8_t rx[64];
static volatile uint8_t rxHead, rxTail;

ISR(USART_RX_vect) {
    const uint8_t byte = UDR0;
    const uint8_t next = (uint8_t)((rxHead + 1) & (sizeof rx - 1));
    if (next != rxTail) { /* a full buffer drops the byte; the frame's CRC fails */
        rx[rxHead] = byte;
        rxHead = next;
    }
}

static int readByte(uint8_t* out) {
    if (rxTail == rxHead) return 0;
    *out = rx[rxTail];
    rxTail = (uint8_t)((rxTail + 1) & (sizeof rx - 1));
    return 1;
}

/* Answers go out from a ring by the transmit interrupt, so that the main
 * loop never waits on the UART while a queued load is due. */
static volatile uint8_t tx[64];
static volatile uint8_t txHead, txTail;

ISR(USART_UDRE_vect) {
    if (txTail == txHead) {
        UCSR0B &= (uint8_t)~_BV(UDRIE0);
        return;
    }
    /* TXC then says when this byte's stop bit has left (a speed change waits for it). */
    UCSR0A = (uint8_t)((UCSR0A & _BV(U2X0)) | _BV(TXC0));
    UDR0 = tx[txTail];
    txTail = (uint8_t)((txTail + 1) & (sizeof tx - 1));
}

static void sendByte(uint8_t b) {
    const uint8_t next = (uint8_t)((txHead + 1) & (sizeof tx - 1));
    while (next == txTail) {
        /* full: wait for the interrupt to make room */
    }
    tx[txHead] = b;
    txHead = next;
    UCSR0B |= _BV(UDRIE0);
}

/* The link's speed, U2X on: 16 at 115200 (2.1 % off, as every Arduino
 * runs), 3 at 500000 and 1 at 1000000 (exact). */
static const uint8_t ubrrFor[] = {16, 3, 1};
static uint8_t speedTrial;      /* a new speed awaits its first good frame */
static uint32_t speedTrialFrom; /* since when (microseconds) */

static uint32_t nowUs(void);

static void setSpeed(uint8_t code) {
    /* Whatever is still going out leaves at the old speed first, to its last
     * stop bit (a byte at 115200 takes 87 us; 2 ms bounds a UART that never
     * says so). */
    while (txHead != txTail) {
    }
    loop_until_bit_is_set(UCSR0A, UDRE0);
    for (uint16_t i = 0; i < 2000 && !(UCSR0A & _BV(TXC0)); ++i) _delay_us(1);
    UBRR0H = 0;
    UBRR0L = ubrrFor[code];
}

static void sendFrame(const uint8_t* body, uint8_t len) {
    uint8_t crc = _crc8_ccitt_update(0, len);
    sendByte(BRIDGE_SYNC);
    sendByte(len);
    for (uint8_t i = 0; i < len; ++i) {
        sendByte(body[i]);
        crc = _crc8_ccitt_update(crc, body[i]);
    }
    sendByte(crc);
}

static void sendError(uint8_t seq, uint8_t code) {
    const uint8_t body[] = {BRIDGE_ANS_REFUSED, seq, code};
    sendFrame(body, sizeof body);
}

/* One rising edge on a line. The AD9850 wants W_CLK and FQ_UD high and low
 * for 3.5 ns and 7 ns at least, and data set up 3.5 ns before W_CLK rises:
 * at 16 MHz each instruction is 62.5 ns, which covers all of them. */
static void pulse(uint8_t pin) {
    PORTB |= pin;
    PORTB &= (uint8_t)~pin;
}

/* Clocks the 40 bits into the chip's input register; the output stays. */
static void shiftWord(const uint8_t* bits40) {
    for (uint8_t byte = 0; byte < 5; ++byte) {
        uint8_t b = bits40[byte];
        for (uint8_t k = 0; k < 8; ++k) {
            if (b & 1)
                PORTB |= PIN_DATA;
            else
                PORTB &= (uint8_t)~PIN_DATA;
            pulse(PIN_WCLK);
            b >>= 1;
        }
    }
    PORTB &= (uint8_t)~PIN_DATA;
}

static void loadWord(const uint8_t* bits40) {
    shiftWord(bits40);
    pulse(PIN_FQUD);
    for (uint8_t k = 0; k < 5; ++k) chipBits[k] = bits40[k];
}

/* The dead-man guard: while the host keys a transmitter it must be heard
 * from every 2 s, or the board powers the chip down by itself. */
#define GUARD_US 2000000UL
static uint8_t guardArmed, guardFired;
static uint32_t lastHeard;

static void dropQueue(void) {
    cli();
    if (preloaded && !fired) pulse(PIN_FQUD); /* see 'X': the register must start clean */
    fired = 0;
    qCount = 0;
    preloaded = 0;
    TIMSK1 &= (uint8_t)~_BV(OCIE1A);
    armed = 0;
    sei();
}

/* After power-up the chip is in parallel mode; the module's strapping plus a
 * W_CLK and an FQ_UD pulse put it into serial mode. */
static void resetChip(void) {
    PORTB |= PIN_RESET;
    _delay_us(1);
    PORTB &= (uint8_t)~PIN_RESET;
    pulse(PIN_WCLK);
    pulse(PIN_FQUD);
}

static uint16_t readAnalog(uint8_t channel, uint8_t samples) {
    uint16_t sum = 0;
    ADMUX = (uint8_t)(_BV(REFS0) | (channel & 0x07)); /* AVcc reference */
    for (uint8_t i = 0; i < samples; ++i) {
        ADCSRA |= _BV(ADSC);
        loop_until_bit_is_clear(ADCSRA, ADSC);
        sum += ADC;
    }
    return sum;
}

static uint32_t le32(const uint8_t* b) {
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

#define CAPS                                                                                       \
    (BRIDGE_CAP_LOAD | BRIDGE_CAP_RESET | BRIDGE_CAP_ADC | BRIDGE_CAP_QUEUE | BRIDGE_CAP_SCAN |    \
     BRIDGE_CAP_SPEED | BRIDGE_CAP_GUARD)

static const uint8_t bridgeName[] = {'K', 'a', 'l', 'i', 'm', 'o', 'r',
                                     ' ', 'b', 'r', 'i', 'd', 'g', 'e'};

static void ack(uint8_t seq, uint8_t cmd) {
    const uint8_t reply[] = {BRIDGE_ANS_ACK, seq, cmd};
    sendFrame(reply, sizeof reply);
}

static void put32(uint8_t* out, uint32_t v) {
    out[0] = (uint8_t)v;
    out[1] = (uint8_t)(v >> 8);
    out[2] = (uint8_t)(v >> 16);
    out[3] = (uint8_t)(v >> 24);
}

/* Each command gets its SEQ and its payload (what follows SEQ), its length
 * already checked where the table gives one. */
static void cmdLoad(uint8_t seq, const uint8_t* p, uint8_t n) {
    (void)n;
    loadWord(p);
    ack(seq, BRIDGE_CMD_LOAD);
}

static void cmdReset(uint8_t seq, const uint8_t* p, uint8_t n) {
    (void)p;
    (void)n;
    resetChip();
    for (uint8_t k = 0; k < 5; ++k) chipBits[k] = 0;
    ack(seq, BRIDGE_CMD_RESET);
}

static void cmdAnalog(uint8_t seq, const uint8_t* p, uint8_t n) {
    (void)n;
    if (p[1] == 0 || p[1] > BRIDGE_MAX_SAMPLES) return sendError(seq, BRIDGE_ERR_LENGTH);
    const uint16_t sum = readAnalog(p[0], p[1]);
    const uint8_t reply[] = {BRIDGE_ANS_ANALOG, seq, p[0], p[1], (uint8_t)sum, (uint8_t)(sum >> 8)};
    sendFrame(reply, sizeof reply);
}

static void cmdIdentify(uint8_t seq, const uint8_t* p, uint8_t n) {
    (void)p;
    (void)n;
    uint8_t reply[4 + sizeof bridgeName] = {BRIDGE_ANS_IDENTIFY, seq, BRIDGE_VERSION, CAPS};
    for (uint8_t i = 0; i < sizeof bridgeName; ++i) reply[4 + i] = bridgeName[i];
    sendFrame(reply, sizeof reply);
}

static void cmdScan(uint8_t seq, const uint8_t* p, uint8_t n) {
    (void)n;
    if (p[1] == 0 || p[1] > BRIDGE_MAX_SAMPLES) return sendError(seq, BRIDGE_ERR_LENGTH);
    const uint8_t channel = p[0], samples = p[1];
    const uint16_t count = (uint16_t)(p[2] | (p[3] << 8));
    const uint32_t settle = le32(p + 4);
    uint32_t word = le32(p + 8);
    uint16_t frac = (uint16_t)(p[12] | (p[13] << 8));
    const uint32_t step = le32(p + 14);
    const uint16_t stepFrac = (uint16_t)(p[18] | (p[19] << 8));
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t bits[5] = {(uint8_t)word, (uint8_t)(word >> 8), (uint8_t)(word >> 16),
                                 (uint8_t)(word >> 24), p[20]};
        const uint16_t before = frac;
        frac = (uint16_t)(frac + stepFrac);
        word += step + (frac < before ? 1 : 0);
        loadWord(bits);
        const uint32_t from = nowUs();
        while (nowUs() - from < settle) {
        }
        const uint16_t sum = readAnalog(channel, samples);
        /* Sent by the interrupt while the next point is read. */
        const uint8_t reply[] = {BRIDGE_ANS_POINT, seq,          (uint8_t)i,
                                 (uint8_t)(i >> 8), (uint8_t)sum, (uint8_t)(sum >> 8)};
        sendFrame(reply, sizeof reply);
    }
    ack(seq, BRIDGE_CMD_SCAN);
}

static void cmdSpeed(uint8_t seq, const uint8_t* p, uint8_t n) {
    (void)n;
    if (p[0] > BRIDGE_SPEED_1000000) return sendError(seq, BRIDGE_ERR_LENGTH);
    ack(seq, BRIDGE_CMD_SPEED);
    setSpeed(p[0]);
    speedTrial = p[0] != BRIDGE_SPEED_115200;
    speedTrialFrom = nowUs();
}

static void cmdTime(uint8_t seq, const uint8_t* p, uint8_t n) {
    (void)p;
    (void)n;
    uint8_t reply[6] = {BRIDGE_ANS_TIME, seq};
    put32(reply + 2, nowUs());
    sendFrame(reply, sizeof reply);
}

static void cmdQueue(uint8_t seq, const uint8_t* p, uint8_t n) {
    if (n < 9 || n % 9 != 0) return sendError(seq, BRIDGE_ERR_LENGTH);
    const uint8_t count = (uint8_t)(n / 9);
    if (qCount + count > BRIDGE_QUEUE_SLOTS) return sendError(seq, BRIDGE_ERR_FULL);
    /* Only the main loop moves the queue; the compare interrupt only
     * raises FQ_UD, so nothing here keeps the receiver waiting. */
    const uint8_t tail = (uint8_t)(qHead + qCount);
    for (uint8_t i = 0; i < count; ++i) {
        const uint8_t* e = p + 9 * i;
        Timed* t = &queue[(uint8_t)(tail + i) % BRIDGE_QUEUE_SLOTS];
        t->due = le32(e);
        for (uint8_t k = 0; k < 5; ++k) t->bits[k] = e[4 + k];
    }
    qCount = (uint8_t)(qCount + count);
    const uint16_t late = lateCount;
    uint8_t reply[13] = {BRIDGE_ANS_QUEUE, seq, (uint8_t)(BRIDGE_QUEUE_SLOTS - qCount)};
    put32(reply + 3, nowUs());
    put32(reply + 7, latchedCount);
    reply[11] = (uint8_t)late;
    reply[12] = (uint8_t)(late >> 8);
    sendFrame(reply, sizeof reply);
}

static void cmdDrop(uint8_t seq, const uint8_t* p, uint8_t n) {
    (void)n;
    const uint32_t after = le32(p);
    uint8_t dropped = 0;
    /* Loads are queued in time order: drop from the back. A head that
     * has latched and is not yet booked stays, and so, for now, does one
     * clocked in already; the compare interrupt is held off meanwhile. */
    cli();
    for (;;) {
        const uint8_t last = (uint8_t)((qHead + qCount - 1) % BRIDGE_QUEUE_SLOTS);
        if (qCount <= (fired | preloaded) || (int32_t)(queue[last].due - after) <= 0) break;
        --qCount;
        ++dropped;
    }
    /* The chip takes the first 40 bits after a latch and no more: a
     * head clocked in already cannot be taken back, only latched, so
     * it goes out now, a little early, and the next load starts clean. */
    if (qCount == 1 && preloaded && !fired && (int32_t)(queue[qHead].due - after) > 0) {
        TIMSK1 &= (uint8_t)~_BV(OCIE1A);
        armed = 0;
        pulse(PIN_FQUD);
        bookHead(nowUs());
    }
    sei();
    const uint8_t reply[] = {BRIDGE_ANS_DROP, seq, dropped};
    sendFrame(reply, sizeof reply);
}

static void cmdLastLatched(uint8_t seq, const uint8_t* p, uint8_t n) {
    (void)p;
    (void)n;
    uint8_t reply[17] = {BRIDGE_ANS_LAST, seq};
    cli();
    put32(reply + 2, latchedCount);
    put32(reply + 6, lastDue);
    for (uint8_t k = 0; k < 5; ++k) reply[10 + k] = lastBits[k];
    reply[15] = (uint8_t)worstLate;
    reply[16] = (uint8_t)(worstLate >> 8);
    sei();
    sendFrame(reply, sizeof reply);
}

static void cmdGuard(uint8_t seq, const uint8_t* p, uint8_t n) {
    (void)n;
    guardArmed = p[0] != 0;
    const uint8_t reply[] = {BRIDGE_ANS_GUARD, seq, guardFired ? BRIDGE_GUARD_FIRED : 0};
    guardFired = 0;
    sendFrame(reply, sizeof reply);
}

#define ANY_LENGTH 0xFF

typedef struct {
    uint8_t cmd;
    uint8_t payload;     /* bytes after SEQ, or ANY_LENGTH where the command checks */
    uint8_t needsIdle;   /* shifts bits into the chip: refused while loads are queued */
    void (*run)(uint8_t seq, const uint8_t* p, uint8_t n);
} Command;

static const Command commands[] = {
    {BRIDGE_CMD_LOAD, 5, 1, cmdLoad},
    {BRIDGE_CMD_RESET, 0, 1, cmdReset},
    {BRIDGE_CMD_ANALOG, 2, 0, cmdAnalog},
    {BRIDGE_CMD_IDENTIFY, ANY_LENGTH, 0, cmdIdentify},
    {BRIDGE_CMD_SCAN, 21, 1, cmdScan},
    {BRIDGE_CMD_SPEED, 1, 0, cmdSpeed},
    {BRIDGE_CMD_TIME, ANY_LENGTH, 0, cmdTime},
    {BRIDGE_CMD_QUEUE, ANY_LENGTH, 0, cmdQueue},
    {BRIDGE_CMD_DROP, 4, 0, cmdDrop},
    {BRIDGE_CMD_LAST, ANY_LENGTH, 0, cmdLastLatched},
    {BRIDGE_CMD_GUARD, 1, 0, cmdGuard},
};

static void handle(const uint8_t* body, uint8_t len) {
    if (len == 1 && body[0] == BRIDGE_CMD_IDENTIFY) { /* version 1's, for its program to read */
        uint8_t reply[3 + sizeof bridgeName] = {BRIDGE_ANS_IDENTIFY, BRIDGE_VERSION, CAPS};
        for (uint8_t i = 0; i < sizeof bridgeName; ++i) reply[3 + i] = bridgeName[i];
        return sendFrame(reply, sizeof reply);
    }
    if (len < 2) return sendError(BRIDGE_NO_SEQ, BRIDGE_ERR_LENGTH);
    const uint8_t seq = body[1], n = (uint8_t)(len - 2);
    for (uint8_t i = 0; i < sizeof commands / sizeof commands[0]; ++i) {
        const Command* c = &commands[i];
        if (c->cmd != body[0]) continue;
        /* A direct load would shift its bits over the queued word clocked in
         * ahead of its time. */
        if (c->needsIdle && qCount > 0) return sendError(seq, BRIDGE_ERR_BUSY);
        if (c->payload != ANY_LENGTH && c->payload != n) return sendError(seq, BRIDGE_ERR_LENGTH);
        return c->run(seq, body + 2, n);
    }
    sendError(seq, BRIDGE_ERR_UNKNOWN);
}

int main(void) {
    DDRB = PIN_WCLK | PIN_FQUD | PIN_DATA | PIN_RESET;
    PORTB = 0;
    /* The speed is set before the transmitter is enabled: the UART's reset
     * value would send the banner's first byte at another speed. */
    UBRR0H = UBRRH_VALUE;
    UBRR0L = UBRRL_VALUE; /* 16 with U2X, as ubrrFor[0] */
#if USE_2X
    UCSR0A |= _BV(U2X0);
#else
    UCSR0A &= (uint8_t)~_BV(U2X0);
#endif
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);                        /* 8N1 */
    ADCSRA = _BV(ADEN) | _BV(ADPS2) | _BV(ADPS1) | _BV(ADPS0); /* 125 kHz ADC clock */
    TCCR1A = 0;
    TCCR1B = _BV(CS11); /* clk/8: 2 MHz */
    TIMSK1 = _BV(TOIE1);
    resetChip();
    sei();
    {
        const uint8_t banner[] = {BRIDGE_ANS_BANNER, BRIDGE_VERSION, CAPS};
        sendFrame(banner, sizeof banner);
    }

    uint8_t frame[BRIDGE_MAX_LEN + 2];
    uint8_t have = 0, need = 0;
    uint16_t idle = 0;
    for (;;) {
        /* The queue's head: its word clocked in ahead of its time, then
         * a load due within 20 us is waited for here and latched; a later
         * one arms the compare interrupt. Arming that close to the match
         * could miss it, and the timer would come round only 32.768 ms
         * later. */
        if (fired) { /* the interrupt is not armed again before this */
            bookHead(firedAt);
            fired = 0;
        }
        /* `armed` first: once it reads 0 the interrupt cannot fire, so
         * `fired` read after it is final (a head latched there and not yet
         * booked must not be latched and booked again here). */
        if (!armed && !fired && qCount > 0) {
            if (!preloaded && (int32_t)(queue[qHead].due - nowUs()) < 30000) {
                shiftWord(queue[qHead].bits);
                preloaded = 1;
            }
            const int32_t early = (int32_t)(queue[qHead].due - nowUs());
            if (early <= 20 && preloaded) {
                while ((int32_t)(queue[qHead].due - nowUs()) > 0) {
                }
                pulse(PIN_FQUD);
                bookHead(nowUs());
            } else if (early < 30000 && preloaded) {
                cli();
                TIFR1 = _BV(OCF1A); /* an old match must not fire it */
                OCR1A = (uint16_t)(TCNT1 + (uint16_t)(early * 2));
                armed = 1;
                TIMSK1 |= _BV(OCIE1A);
                sei();
            }
        }
        if (guardArmed && nowUs() - lastHeard > GUARD_US) {
            /* The host fell silent while keyed: the word the chip holds,
             * powered down, and nothing queued turns it on again. */
            dropQueue();
            uint8_t off[5];
            for (uint8_t k = 0; k < 5; ++k) off[k] = chipBits[k];
            off[4] |= 0x04;
            loadWord(off);
            guardArmed = 0;
            guardFired = 1;
        }
        if (speedTrial && nowUs() - speedTrialFrom > 500000UL) {
            speedTrial = 0;
            setSpeed(0);
            have = 0;
        }
        uint8_t b;
        if (!readByte(&b)) {
            /* Bytes stopped in the middle of a frame: refuse it and look
             * for the next SYNC. */
            if (have > 0 && ++idle > FRAME_TIMEOUT_LOOPS) {
                have = 0;
                sendError(BRIDGE_NO_SEQ, BRIDGE_ERR_CUT);
            }
            _delay_us(2);
            continue;
        }
        idle = 0;
        if (have == 0) {
            if (b == BRIDGE_SYNC) have = 1; /* anything else: resynchronising */
            continue;
        }
        if (have == 1) {
            if (b == 0 || b > BRIDGE_MAX_LEN) {
                have = 0;
                sendError(BRIDGE_NO_SEQ, BRIDGE_ERR_LENGTH);
                continue;
            }
            frame[0] = b;
            need = (uint8_t)(b + 2); /* LEN, body, CRC */
            have = 2;
            continue;
        }
        frame[have - 1] = b;
        if (++have <= need) continue;
        have = 0;
        uint8_t crc = 0;
        for (uint8_t i = 0; i <= frame[0]; ++i) crc = _crc8_ccitt_update(crc, frame[i]);
        if (crc != frame[frame[0] + 1]) {
            sendError(BRIDGE_NO_SEQ, BRIDGE_ERR_CHECKSUM);
            continue;
        }
        speedTrial = 0; /* a good frame: the link holds at this speed */
        lastHeard = nowUs();
        handle(frame + 1, frame[0]);
    }
}
