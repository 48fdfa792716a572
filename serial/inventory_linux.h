// The Linux inventory of serial ports, read from sysfs: the pieces beneath
// ReadPortInventory and InventoryNameForPort, reachable with a sysfs tree
// of the caller's. Linux only; nothing of Windows here.
#pragma once

#include <string>
#include <vector>

#include "serial/adapter.h"

// Lists the present tty devices under |sysRoot| (normally "/sys"): each one
// with a device behind it (but serial-core ports of type 0, which have no
// UART), named by its tty name, with its USB interface, product and
// manufacturer strings as friendly names, plus "USB Serial Port" for ports
// of the ftdi_sio driver (the name their Windows driver gives them); its
// driver, the USB device's ids and serial number, its device path under
// |devRoot| (normally "/dev") and the link in |devRoot|/serial/by-id that
// names it. Lists in tty name order. Returns 0 when the tty class can't be
// read, else 1.
int ReadTtyInventory(const std::string& sysRoot, const std::string& devRoot,
                     std::vector<InventoryEntry>* inventory);

// The tty name a port argument stands for: a path is resolved through its
// symlinks (/dev/serial/by-id/...) and loses its leading "/dev/"; a bare
// name is returned as it is.
std::string TtyNameForPort(const char* portName);
