#include "korvex/model/velocity_limits.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include <pugixml.hpp>

namespace korvex {
namespace {

constexpr std::string_view kPositionBased = "position_based_velocity_limits";
constexpr std::string_view kLimit = "limit";

// Joint index 0..6 of a joint name, or -1. An exact "jointN" wins; otherwise the first of
// joint1..joint7 found inside the name (prefixed names such as zk2_joint4).
int joint_index(std::string_view name) {
  static constexpr std::array<std::string_view, 7> kNames = {"joint1", "joint2", "joint3", "joint4",
                                                             "joint5", "joint6", "joint7"};
  for (int i = 0; i < 7; ++i)
    if (name == kNames[i]) return i;
  for (int i = 0; i < 7; ++i)
    if (name.find(kNames[i]) != std::string_view::npos) return i;
  return -1;
}

std::optional<double> parse_number(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(kSpace) - first + 1);
  // from_chars takes no explicit plus sign.
  if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  // Out-of-range values still read as their nearest value (inf or 0), not as invalid text.
  if (end != text.data() + text.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) return std::strtod(std::string(text).c_str(), nullptr);
  if (ec != std::errc{}) return std::nullopt;
  return value;
}

Result<double> attribute(const pugi::xml_node& element, std::string_view element_name, const char* attribute_name,
                         std::string_view joint_name) {
  const pugi::xml_attribute a = element.attribute(attribute_name);
  const std::string where = "' attribute in <" + std::string(element_name) + "> for joint: " + std::string(joint_name);
  if (!a) return fail(Error::invalid_argument("Missing '" + std::string(attribute_name) + where));
  const auto value = parse_number(a.value());
  if (!value) return fail(Error::invalid_argument("Invalid '" + std::string(attribute_name) + where));
  return *value;
}

Result<JointVelocityLimit> read_joint(const pugi::xml_node& joint, std::string_view name) {
  const pugi::xml_node position_based = joint.child(kPositionBased.data());
  if (!position_based)
    return fail(Error::invalid_argument("Missing <" + std::string(kPositionBased) +
                                        "> element for joint: " + std::string(name)));
  const pugi::xml_node limit = joint.child(kLimit.data());
  if (!limit)
    return fail(Error::invalid_argument("Missing <" + std::string(kLimit) + "> element for joint: " + std::string(name)));

  JointVelocityLimit r;
  const struct {
    const pugi::xml_node& element;
    std::string_view element_name;
    const char* attribute_name;
    double* target;
  } reads[] = {
      {limit, kLimit, "velocity", &r.velocity},
      {position_based, kPositionBased, "velocity_offset", &r.velocity_offset},
      {position_based, kPositionBased, "deceleration_limit", &r.deceleration_limit},
      {limit, kLimit, "upper", &r.upper},
      {limit, kLimit, "lower", &r.lower},
  };
  for (const auto& read : reads) {
    auto value = attribute(read.element, read.element_name, read.attribute_name, name);
    if (!value) return fail(std::move(value.error()));
    *read.target = *value;
  }
  return r;
}

// Speed allowed towards a limit at `distance` from it [rad/s], before the 0.001 margin.
double towards_limit(const JointVelocityLimit& j, double distance) {
  const double braking = std::fmax(std::sqrt(std::fmax(2.0 * j.deceleration_limit * distance, 0.0)) - j.velocity_offset, 0.0);
  return j.velocity > braking ? braking : j.velocity;
}

}  // namespace

Result<JointVelocityLimits> read_joint_velocity_limits(std::string_view urdf) {
  pugi::xml_document doc;
  if (!doc.load_buffer(urdf.data(), urdf.size(), pugi::parse_default, pugi::encoding_utf8))
    return fail(Error::invalid_argument("Failed to parse URDF for joint velocity limits"));
  const pugi::xml_node root = doc.document_element();
  if (std::string_view(root.name()) != "robot")
    return fail(Error::invalid_argument("Failed to parse URDF: no <robot> element exists for joint velocity limits"));

  JointVelocityLimits limits;
  std::array<bool, 7> found{};
  // Document order over the root and all its descendants.
  pugi::xml_node node = root;
  while (node) {
    if (node.type() == pugi::node_element && std::string_view(node.name()) == "joint") {
      if (const pugi::xml_attribute name = node.attribute("name")) {
        if (const int i = joint_index(name.value()); i >= 0) {
          found[static_cast<std::size_t>(i)] = true;
          auto joint = read_joint(node, name.value());
          if (!joint) return fail(std::move(joint.error()));
          limits.joints[static_cast<std::size_t>(i)] = *joint;
        }
      }
    }
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && node != root && !node.next_sibling()) node = node.parent();
    node = node == root ? pugi::xml_node() : node.next_sibling();
  }

  std::string missing;
  for (std::size_t i = 0; i < found.size(); ++i)
    if (!found[i]) missing += "joint" + std::to_string(i + 1) + " ";
  if (!missing.empty()) return fail(Error::invalid_argument("Missing required joints: " + missing));
  return limits;
}

std::array<double, 7> JointVelocityLimits::upper_at(const std::array<double, 7>& q) const {
  std::array<double, 7> out;
  for (std::size_t i = 0; i < 7; ++i) out[i] = towards_limit(joints[i], joints[i].upper - q[i]) - 0.001;
  return out;
}

std::array<double, 7> JointVelocityLimits::lower_at(const std::array<double, 7>& q) const {
  std::array<double, 7> out;
  for (std::size_t i = 0; i < 7; ++i) out[i] = -towards_limit(joints[i], q[i] - joints[i].lower) + 0.001;
  return out;
}

std::array<double, 7> upper_velocity_limits(std::uint16_t version, const std::optional<JointVelocityLimits>& limits,
                                            const std::array<double, 7>& q) {
  if (version >= 10 && limits) return limits->upper_at(q);
  return kZk1VelocityLimits;
}

std::array<double, 7> lower_velocity_limits(std::uint16_t version, const std::optional<JointVelocityLimits>& limits,
                                            const std::array<double, 7>& q) {
  if (version >= 10 && limits) return limits->lower_at(q);
  std::array<double, 7> out;
  for (std::size_t i = 0; i < 7; ++i) out[i] = -kZk1VelocityLimits[i];
  return out;
}

}  // namespace korvex
