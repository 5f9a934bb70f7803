// Restarting the PC through the keyboard controller and powering it off
// through ACPI, after the applications are ended and the floppy is parked.
#pragma once

// Returns only if the PC did not reset.
void machine_restart();
// Returns only if ACPI is unavailable or the PC did not turn off.
void machine_power_off();
