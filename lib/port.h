// x86 port I/O. The only way any driver reaches an I/O port; the host tests
// replace these with a recording port bus.
#pragma once

#include <stdint.h>

void port_out8(uint16_t port, uint8_t value);
uint8_t port_in8(uint16_t port);
void port_out16(uint16_t port, uint16_t value);
uint16_t port_in16(uint16_t port);
