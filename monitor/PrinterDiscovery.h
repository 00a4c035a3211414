// Finding the model's printers: the USB devices in the registry and the answers
// of the SNMP subnet discovery. Each found printer is handed to `found` as soon
// as it is known, with its trace line, so the model can publish one append at a
// time in discovery order.
#pragma once

#include "monitor/Printer.h"

#include <functional>
#include <string>
#include <string_view>

namespace tbx {

using PrinterSink = std::function<void(Printer)>;

// Walks the registry's USB devices ("IOUSBDevice") and hands on a USB printer
// for every device of vendor 0x356C whose product identifier a known model
// lists, with the device's "locationID" when the entry has one. Writes
// " find device pid = P and vid = V" for every entry whose identifiers were read.
// Only registry properties are read: no device is opened. An entry whose
// properties cannot be read, or which lacks numeric identifiers, is skipped.
void findUsbPrinters(const PrinterSink& found);

// Hands on a network printer for every "address,oid|" record of a discovery
// text whose oid text contains a known model's `oid` (a substring test).
// Empty pieces and pieces without a comma are skipped.
void printersFromDiscoveryText(std::string_view text, const PrinterSink& found);

struct SnmpDiscoveryOutcome {
    int result = 0;   // -1: the discovery failed
    std::string text; // the records, up to the first zero byte of the buffer
};

// The SNMP discovery on every local subnet, into a buffer of 3,000 bytes
// (records that would not fit are dropped whole). Blocks for about four
// seconds per interface: call it off the main thread.
SnmpDiscoveryOutcome discoverSnmpPrinters();

} // namespace tbx
