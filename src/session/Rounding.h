#pragma once

namespace lc {

// Rounds seconds to milliseconds, halves away from zero (2.0625 -> 2.063, -2.0625 -> -2.063).
// The half is judged on the shortest decimal that reads back as `x`, the number a person
// sees, not on the binary value's last bits: x * 1000 would already be rounded once and can
// land on either side of .5. The result is the double nearest to the rounded decimal, so it
// prints with at most three decimals.
double round3(double x);

} // namespace lc
