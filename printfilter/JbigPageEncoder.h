#pragma once

// JBIG (ITU-T T.82) encoding of a packed page through JBIG-KIT, with the encoder parameters the
// printer expects set explicitly: one plane, one layer at full resolution, L0 = height / 35 kept
// within 2..128, adaptive template at MX 8 / MY 0, order ILEAVE|SMID, options TPBON|TPDON|DPON.

#include "printfilter/GrayPage.h"

#include <cstdio>
#include <string>

namespace tbx {

// Lines per stripe for a page height: height / 35, lowered to 128, raised to 2.
unsigned long jbigStripeLines(unsigned long height);

// Encodes the page as one JBIG bi-level image entity (20-byte header, then the stripe data) into
// the open file. Returns false when a write failed.
bool encodeJbigPage(const PackedPage& page, std::FILE* file);

// Encodes the page into the file at path (created or truncated). Returns true when the whole image
// was written. The job's own spool files go through SpoolDirectory::writePage instead.
bool bmp_to_jbg(const std::string& path, const PackedPage& page);

} // namespace tbx
