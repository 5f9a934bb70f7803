// ACPI discovery at start-up and power-off through the PM1 control ports.
#pragma once

#include <stdint.h>

void acpi_init();
bool acpi_enable();
void acpi_power_off();
bool acpi_is_available();
