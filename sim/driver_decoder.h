// The driver simulator's reading of a message on its ports: every field of the formats in
// comms/wire_format.h, named, as a JSON object. It is what the journal and the control answers
// show of a message, so that a reader never decodes bytes by hand.
//
// Guarantees: any bytes decode, however short or malformed; a field is present only when the
// message's bytes reach it ("name":"short" for fewer than a header's bytes, "unknown" for a type
// the driver does not know). Payload text is the bytes up to the first NUL, as a JSON string.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/simsupport.h"

namespace nvxdriver {

nvxsim::Json Decode(const uint8_t* p, size_t n);

}  // namespace nvxdriver
