#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "korvex/error.hpp"
#include "korvex/format.hpp"
#include "korvex/robot/robot_impl/exception.hpp"

namespace korvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Format, SingleNumbers) {
  const struct { double x; const char* text; } cases[] = {
      {1.0, "1"},       {0.5, "0.5"},     {-2.0, "-2"},        {0.1, "0.1"},
      {1e-7, "0.0000001"}, {1e21, "1000000000000000000000"}, {123.456, "123.456"},
      {0.0, "0"},       {-0.0, "-0"},     {kNaN, "NaN"},       {kInf, "inf"},
      {-kInf, "-inf"},  {0.30000000000000004, "0.30000000000000004"}, {20.0, "20"},
  };
  for (const auto& c : cases) EXPECT_EQ(fmt::number(c.x), c.text) << c.text;
}

TEST(Format, ListNumbers) {
  const struct { double x; const char* text; } cases[] = {
      {1.0, "1.0"},   {0.3, "0.3"},   {20.0, "20.0"},  {1e-5, "1e-5"},    {1e-4, "0.0001"},
      {1e16, "1e16"}, {1.5e16, "1.5e16"}, {9999999999999998.0, "9999999999999998.0"},
      {-2.5e-7, "-2.5e-7"}, {0.0, "0.0"}, {kNaN, "NaN"}, {-kInf, "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(fmt::list_number(c.x), c.text) << c.text;
  const double xs[] = {1.0, 0.5, kInf};
  EXPECT_EQ(fmt::list(xs), "[1.0, 0.5, inf]");
  EXPECT_EQ(fmt::list(std::span<const double>{}), "[]");
}

TEST(Format, SixDigits) {
  const struct { double x; const char* text; } cases[] = {
      {1.0, "1"},         {0.95, "0.95"},     {0.00001, "1e-05"},  {1.2345e-5, "1.2345e-05"},
      {0.0, "0"},         {0.98, "0.98"},     {123456.0, "123456"}, {1234567.0, "1.23457e+06"},
      {kNaN, "nan"},      {kInf, "inf"},      {-kInf, "-inf"},     {0.0001, "0.0001"},
  };
  for (const auto& c : cases) EXPECT_EQ(fmt::six_digits(c.x), c.text) << c.text;
}

TEST(Format, Quoted) {
  EXPECT_EQ(fmt::quoted("a\"b\\c\n"), "\"a\\\"b\\\\c\\n\"");
  EXPECT_EQ(fmt::quoted("impedance"), "\"impedance\"");
}

TEST(Error, KindsInOrderWithDisplayAndDebug) {
  const Error errors[] = {
      Error::network("n"),       Error::protocol("p"),         Error::incompatible_version(5, 10),
      Error::command("c"),       Error::control(ControlException{"x", {}, {}, {}}),
      Error::realtime("r"),      Error::invalid_operation("o"), Error::invalid_argument("a"),
      Error::model("m"),
  };
  const char* keys[] = {"network", "protocol", "incompatible_version", "command", "control",
                        "realtime", "invalid_operation", "invalid_argument", "model"};
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(static_cast<int>(errors[i].kind()), i);
    EXPECT_EQ(kind_key(errors[i].kind()), keys[i]);
  }
  EXPECT_EQ(errors[2].message(),
            "libkorvex: Incompatible library version (server version: 5, library version: 10).");
  EXPECT_EQ(errors[2].debug(), "IncompatibleVersion { server_version: 5, library_version: 10 }");
  EXPECT_EQ(errors[4].message(), "x");
  ASSERT_NE(errors[4].control_exception(), nullptr);
  EXPECT_EQ(errors[0].message(), "n");
  EXPECT_EQ(errors[7].debug(), "InvalidArgument(\"a\")");
  EXPECT_EQ(errors[4].debug(),
            "Control(ControlException { message: \"x\", move_status: None, last_motion_errors: [], log: [] })");
}

}  // namespace
}  // namespace korvex
