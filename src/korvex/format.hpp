#pragma once
// The one place that turns numbers into message text.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvex::fmt {

//! A single number: shortest round-trip digits, never an exponent, no ".0" on whole numbers
//! (1, 0.5, -0, NaN, inf, -inf).
std::string number(double x);

//! A number inside a list or record: always a fractional part (1.0), exponent form when the
//! magnitude is below 1e-4 or at least 1e16 (1e-5, 1e16), NaN, inf, -inf.
std::string list_number(double x);

//! "[a, b, c]" with list_number elements.
std::string list(std::span<const double> xs);

//! Six significant digits, C's %g rules (0.95, 1, 1.2345e-05, nan, inf).
std::string six_digits(double x);

//! A text value in double quotes with backslash escapes.
std::string quoted(std::string_view s);

}  // namespace korvex::fmt
