// ACPI: not discovered yet, so power-off is never available.
#include "drivers/acpi.h"

void acpi_init() {}

bool acpi_enable()
{
    return false;
}

void acpi_power_off() {}

bool acpi_is_available()
{
    return false;
}
