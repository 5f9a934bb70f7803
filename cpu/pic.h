// The two cascaded 8259 interrupt controllers: line n raises vector 32 + n.
#pragma once

#include <stdint.h>

constexpr int32_t PIC_VECTOR_BASE = 32;

void pic_remap();
// Lines 0-15; any other line number is ignored.
extern "C" void pic_send_eoi(int32_t line);
// Ends every interrupt the controllers hold in service: for when the handler
// that would have sent its end of interrupt can never run again.
void pic_end_all_in_service();
void pic_mask_irq(uint8_t line);
void pic_unmask_irq(uint8_t line);
