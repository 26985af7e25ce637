/* The Kalimor bridge's serial protocol, shared by the firmware and the
 * program (dds/SerialBridge.cpp reads the same numbers).
 *
 * Every frame, both ways:  SYNC  LEN  CMD  SEQ  PAYLOAD[LEN-2]  CRC
 *   SYNC  0xA5
 *   LEN   bytes of CMD, SEQ and PAYLOAD (2..32)
 *   SEQ   the request's number (1..254), which its answer carries back, so
 *         that an answer is never taken for another request's
 *   CRC   CRC-8/CCITT (avr-libc's _crc8_ccitt_update, start 0) over LEN, CMD, SEQ, PAYLOAD
 *
 * Host to board:
 *   'L' seq word[4, LSB first] control[1]  load: clock out the 40 bits LSB first
 *                                           on W_CLK, latch with FQ_UD; answer 'A' seq 'L'
 *   'R' seq                                 reset the chip, re-enter serial mode; 'A' seq 'R'
 *   'D' seq channel[1] samples[1]           average an analog input; answer
 *                                           'd' seq channel count sum[2, LSB first]
 *   'I' seq                                 identify; 'i' seq version caps "Kalimor bridge"
 *   'T' seq                                 the board's clock; 't' seq now[4] (microseconds)
 *   'Q' seq {due[4] word[4] control[1]}x1..3
 *                                           queue loads, each latched when the board's
 *                                           clock reaches its due time (in order of
 *                                           queueing); 'q' seq free[1] now[4]
 *                                           latched[4] late[2]: the slots left, the
 *                                           board's clock, the loads latched from the
 *                                           queue and those latched more than 500 us
 *                                           after their time (both counted since
 *                                           reset); 'E' seq 5 when they do not fit
 *   'X' seq after[4]                        drop the queued loads due after `after`;
 *                                           'x' seq dropped[1]
 *   'W' seq                                 the last load latched from the queue:
 *                                           'w' seq latched[4] due[4] word[4] control[1]
 *                                           late[2] (the worst lateness, microseconds)
 *   'S' seq channel[1] samples[1] count[2] settle_us[4] start[4] start_frac[2]
 *           step[4] step_frac[2] control[1]
 *                                           scan: for each of `count` points load
 *                                           start + i x step (words and 1/65536ths of a
 *                                           word, so that any spacing adds up), wait
 *                                           `settle_us`, average
 *                                           the analog input; one 'r' seq index[2]
 *                                           sum[2] per point as it is read, then
 *                                           'A' seq 'S'
 *   'K' seq armed[1]                        the dead-man guard: armed (1), the chip is
 *                                           powered down by the board itself when no
 *                                           good frame comes for 2 s; 0 disarms.
 *                                           'k' seq flags[1], bit 0: the guard powered
 *                                           the chip down since the last 'k' (cleared
 *                                           by this answer)
 *   'U' seq speed[1]                        link speed: 1 500000 baud, 2 1000000 baud
 *                                           (16 MHz divides both exactly), 0 115200; the
 *                                           'A' seq 'U' answer goes at the old speed, then
 *                                           the board switches once its last stop bit
 *                                           has left, and goes back to 115200 unless a
 *                                           good frame comes within 500 ms. The host
 *                                           switches on reading the answer and waits
 *                                           a few milliseconds before it sends, so no
 *                                           byte crosses while the speeds differ
 *
 * 'L', 'S' and 'R' are refused (code 6) while queued loads remain: they would
 * shift their bits into the chip over the next queued word's, which the board
 * clocks in ahead of its time.
 * Board to host:
 *   'B' version caps                        banner, once after every reset (no SEQ)
 *   'E' seq code                            refused: 1 checksum, 2 unknown command,
 *                                           3 bad length, 4 frame cut short, 5 queue
 *                                           full, 6 queued loads remain; SEQ is
 *                                           0xFF when the frame's own cannot be trusted
 *
 * Version 2 had 16-bit settle times and a 31-bit clock. Version 1 had no SEQ;
 * its identify ('I' alone, LEN 1) is still answered, as 'i' version caps, so
 * that a program of version 1 says to reflash.
 */
#ifndef KALIMOR_BRIDGE_PROTOCOL_H
#define KALIMOR_BRIDGE_PROTOCOL_H

#define BRIDGE_SYNC 0xA5
#define BRIDGE_VERSION 3
#define BRIDGE_NO_SEQ 0xFF
#define BRIDGE_MAX_LEN 32

#define BRIDGE_CAP_LOAD 0x01
#define BRIDGE_CAP_RESET 0x02
#define BRIDGE_CAP_ADC 0x04
#define BRIDGE_CAP_QUEUE 0x08
#define BRIDGE_CAP_SCAN 0x10
#define BRIDGE_CAP_SPEED 0x20
#define BRIDGE_CAP_GUARD 0x40
#define BRIDGE_QUEUE_SLOTS 32

#define BRIDGE_ERR_CHECKSUM 1
#define BRIDGE_ERR_UNKNOWN 2
#define BRIDGE_ERR_LENGTH 3
#define BRIDGE_ERR_CUT 4
#define BRIDGE_ERR_FULL 5
#define BRIDGE_ERR_BUSY 6

#define BRIDGE_GUARD_FIRED 0x01

/* Host to board. */
#define BRIDGE_CMD_LOAD 'L'
#define BRIDGE_CMD_RESET 'R'
#define BRIDGE_CMD_ANALOG 'D'
#define BRIDGE_CMD_IDENTIFY 'I'
#define BRIDGE_CMD_TIME 'T'
#define BRIDGE_CMD_QUEUE 'Q'
#define BRIDGE_CMD_DROP 'X'
#define BRIDGE_CMD_LAST 'W'
#define BRIDGE_CMD_SCAN 'S'
#define BRIDGE_CMD_GUARD 'K'
#define BRIDGE_CMD_SPEED 'U'

/* Board to host. */
#define BRIDGE_ANS_ACK 'A'
#define BRIDGE_ANS_ANALOG 'd'
#define BRIDGE_ANS_IDENTIFY 'i'
#define BRIDGE_ANS_TIME 't'
#define BRIDGE_ANS_QUEUE 'q'
#define BRIDGE_ANS_DROP 'x'
#define BRIDGE_ANS_LAST 'w'
#define BRIDGE_ANS_POINT 'r'
#define BRIDGE_ANS_GUARD 'k'
#define BRIDGE_ANS_BANNER 'B'
#define BRIDGE_ANS_REFUSED 'E'

/* 'U' speeds, and the most samples 'D' and 'S' average. */
#define BRIDGE_SPEED_115200 0
#define BRIDGE_SPEED_500000 1
#define BRIDGE_SPEED_1000000 2
#define BRIDGE_MAX_SAMPLES 64

#endif
