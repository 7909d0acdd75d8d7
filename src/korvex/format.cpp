#include "korvex/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace korvex::fmt {
namespace {

// Shortest round-trip digits of |x| (finite, non-zero) and the decimal exponent of the first digit.
struct Digits {
  std::string digits;
  int exponent = 0;
};

Digits shortest(double x) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
  const auto e = s.find('e');
  Digits d;
  for (char c : s.substr(0, e))
    if (c != '.') d.digits.push_back(c);
  d.exponent = std::atoi(std::string(s.substr(e + 1)).c_str());
  return d;
}

// Positional notation of the digits; `whole_suffix` is appended when there is no fraction.
std::string positional(const Digits& d, bool negative, std::string_view whole_suffix) {
  std::string out = negative ? "-" : "";
  const int n = static_cast<int>(d.digits.size());
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out += d.digits;
  } else if (d.exponent + 1 >= n) {
    out += d.digits;
    out.append(static_cast<std::size_t>(d.exponent + 1 - n), '0');
    out += whole_suffix;
  } else {
    out += d.digits.substr(0, static_cast<std::size_t>(d.exponent + 1));
    out += '.';
    out += d.digits.substr(static_cast<std::size_t>(d.exponent + 1));
  }
  return out;
}

std::string special(double x) {
  if (std::isnan(x)) return "NaN";
  return x < 0 ? "-inf" : "inf";
}

}  // namespace

std::string number(double x) {
  if (!std::isfinite(x)) return special(x);
  if (x == 0.0) return std::signbit(x) ? "-0" : "0";
  return positional(shortest(x), std::signbit(x), "");
}

std::string list_number(double x) {
  if (!std::isfinite(x)) return special(x);
  if (x == 0.0) return std::signbit(x) ? "-0.0" : "0.0";
  const double a = std::fabs(x);
  const Digits d = shortest(x);
  if (a < 1e-4 || a >= 1e16) {
    std::string out = std::signbit(x) ? "-" : "";
    out += d.digits.substr(0, 1);
    if (d.digits.size() > 1) {
      out += '.';
      out += d.digits.substr(1);
    }
    out += 'e';
    out += std::to_string(d.exponent);
    return out;
  }
  return positional(d, std::signbit(x), ".0");
}

std::string list(std::span<const double> xs) {
  std::string out = "[";
  for (std::size_t i = 0; i < xs.size(); ++i) {
    if (i) out += ", ";
    out += list_number(xs[i]);
  }
  out += ']';
  return out;
}

std::string six_digits(double x) {
  if (std::isnan(x)) return "nan";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", x);
  return buf;
}

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace korvex::fmt
