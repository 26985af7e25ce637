/* The Kalimor bridge's serial protocol, shared by the firmware and the
 * program (dds/SerialBridge.cpp reads the same numbers).
 *
 * Every frame, both ways:  SYNC  LEN  CMD  PAYLOAD[LEN-1]  CRC
 *   SYNC  0xA5
 *   LEN   bytes of CMD and PAYLOAD (1..32)
 *   CRC   CRC-8/CCITT (avr-libc's _crc8_ccitt_update, start 0) over LEN, CMD, PAYLOAD
 *
 * Host to board:
 *   'L' word[4, LSB first] control[1]  load: clock out the 40 bits LSB first
 *                                       on W_CLK, latch with FQ_UD; answer 'A' 'L'
 *   'R'                                 reset the chip and re-enter serial mode; 'A' 'R'
 *   'D' channel[1] samples[1]           average an analog input; answer
 *                                       'd' channel count sum[2, LSB first]
 *   'I'                                 identify; answer 'i' version caps "Kalimor bridge"
 * Board to host:
 *   'B' version caps                    banner, once after every reset
 *   'E' code                            refused: 1 checksum, 2 unknown command,
 *                                       3 bad length, 4 frame cut short
 */
#ifndef KALIMOR_BRIDGE_PROTOCOL_H
#define KALIMOR_BRIDGE_PROTOCOL_H

#define BRIDGE_SYNC 0xA5
#define BRIDGE_VERSION 1
#define BRIDGE_MAX_LEN 32

#define BRIDGE_CAP_LOAD 0x01
#define BRIDGE_CAP_RESET 0x02
#define BRIDGE_CAP_ADC 0x04

#define BRIDGE_ERR_CHECKSUM 1
#define BRIDGE_ERR_UNKNOWN 2
#define BRIDGE_ERR_LENGTH 3
#define BRIDGE_ERR_CUT 4

#endif
