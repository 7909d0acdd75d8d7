#include "korvex/model/urdf.hpp"

#include <pugixml.hpp>

#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "korvex/format.hpp"

namespace korvex::model::urdf {
namespace {

// The reader's own fault description; the caller wraps it into the model message.
struct Fault {
  std::string what;
};

template <class T>
using Read = std::expected<T, Fault>;

std::unexpected<Fault> fault(std::string what) { return std::unexpected<Fault>(Fault{std::move(what)}); }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A finite decimal number; "nan" and "inf" are not numbers of a robot description.
std::optional<double> to_number(std::string_view s) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) return std::nullopt;
  }
  double value = 0.0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc{} || end != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string describe(std::string_view owner, std::string_view what) {
  return std::string(owner) + ": " + std::string(what);
}

Read<double> read_number(const pugi::xml_node& node, const char* attribute, std::string_view owner) {
  const pugi::xml_attribute a = node.attribute(attribute);
  const std::string where = std::string(node.name()) + " " + attribute;
  if (!a) return fault(describe(owner, where + " is missing"));
  const auto value = to_number(a.value());
  if (!value) return fault(describe(owner, where + " " + fmt::quoted(a.value()) + " is not a number"));
  return *value;
}

// An absent attribute keeps `fallback`.
Read<std::array<double, 3>> read_triple(const pugi::xml_node& node, const char* attribute, std::string_view owner,
                                        std::array<double, 3> fallback) {
  const pugi::xml_attribute a = node.attribute(attribute);
  if (!a) return fallback;
  std::array<double, 3> out{};
  std::string_view rest = a.value();
  std::size_t count = 0;
  bool ok = true;
  while (ok) {
    while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
    if (rest.empty()) break;
    std::size_t n = 0;
    while (n < rest.size() && !is_space(rest[n])) ++n;
    const auto value = to_number(rest.substr(0, n));
    if (!value || count == 3) {
      ok = false;
      break;
    }
    out[count++] = *value;
    rest.remove_prefix(n);
  }
  if (!ok || count != 3) {
    return fault(describe(owner, std::string(node.name()) + " " + attribute + " " + fmt::quoted(a.value()) +
                                     " is not three numbers"));
  }
  return out;
}

Read<Origin> read_origin(const pugi::xml_node& parent, std::string_view owner) {
  const pugi::xml_node node = parent.child("origin");
  if (!node) return Origin{};
  Origin origin;
  auto xyz = read_triple(node, "xyz", owner, {});
  if (!xyz) return std::unexpected(xyz.error());
  auto rpy = read_triple(node, "rpy", owner, {});
  if (!rpy) return std::unexpected(rpy.error());
  origin.xyz = *xyz;
  origin.rpy = *rpy;
  return origin;
}

Read<Inertial> read_inertial(const pugi::xml_node& node, std::string_view owner) {
  Inertial inertial;
  auto origin = read_origin(node, owner);
  if (!origin) return std::unexpected(origin.error());
  inertial.origin = *origin;

  const pugi::xml_node mass = node.child("mass");
  if (!mass) return fault(describe(owner, "inertial has no mass"));
  auto m = read_number(mass, "value", owner);
  if (!m) return std::unexpected(m.error());
  inertial.mass = *m;

  const pugi::xml_node inertia = node.child("inertia");
  if (!inertia) return fault(describe(owner, "inertial has no inertia"));
  const std::pair<const char*, double*> moments[] = {
      {"ixx", &inertial.ixx}, {"ixy", &inertial.ixy}, {"ixz", &inertial.ixz},
      {"iyy", &inertial.iyy}, {"iyz", &inertial.iyz}, {"izz", &inertial.izz},
  };
  for (const auto& [name, target] : moments) {
    auto value = read_number(inertia, name, owner);
    if (!value) return std::unexpected(value.error());
    *target = *value;
  }
  return inertial;
}

std::optional<JointType> joint_type(std::string_view s) {
  static constexpr std::pair<std::string_view, JointType> kTypes[] = {
      {"revolute", JointType::Revolute}, {"continuous", JointType::Continuous},
      {"prismatic", JointType::Prismatic}, {"fixed", JointType::Fixed},
      {"floating", JointType::Floating},  {"planar", JointType::Planar},
      {"spherical", JointType::Spherical},
  };
  for (const auto& [name, type] : kTypes) {
    if (name == s) return type;
  }
  return std::nullopt;
}

Read<std::string> read_link_reference(const pugi::xml_node& joint, const char* element, std::string_view owner) {
  const pugi::xml_attribute link = joint.child(element).attribute("link");
  if (!link || link.value()[0] == '\0') return fault(describe(owner, std::string("no ") + element + " link"));
  return std::string(link.value());
}

Read<Joint> read_joint(const pugi::xml_node& node) {
  Joint joint;
  joint.name = node.attribute("name").value();
  if (joint.name.empty()) return fault("joint without a name");
  const std::string owner = "joint " + fmt::quoted(joint.name);

  const pugi::xml_attribute type = node.attribute("type");
  if (!type) return fault(describe(owner, "no type"));
  const auto parsed = joint_type(type.value());
  if (!parsed) return fault(describe(owner, "unknown type " + fmt::quoted(type.value())));
  joint.type = *parsed;

  auto origin = read_origin(node, owner);
  if (!origin) return std::unexpected(origin.error());
  joint.origin = *origin;

  auto parent = read_link_reference(node, "parent", owner);
  if (!parent) return std::unexpected(parent.error());
  joint.parent = std::move(*parent);
  auto child = read_link_reference(node, "child", owner);
  if (!child) return std::unexpected(child.error());
  joint.child = std::move(*child);

  if (const pugi::xml_node axis = node.child("axis")) {
    auto xyz = read_triple(axis, "xyz", owner, joint.axis);
    if (!xyz) return std::unexpected(xyz.error());
    joint.axis = *xyz;
  }
  return joint;
}

Read<Link> read_link(const pugi::xml_node& node) {
  Link link;
  link.name = node.attribute("name").value();
  if (link.name.empty()) return fault("link without a name");
  if (const pugi::xml_node inertial = node.child("inertial")) {
    auto read = read_inertial(inertial, "link " + fmt::quoted(link.name));
    if (!read) return std::unexpected(read.error());
    link.inertial = *read;
  }
  return link;
}

Read<Robot> read_robot(std::string_view text) {
  pugi::xml_document document;
  // Default options: DOCTYPE is skipped, only the predefined and numeric entities are replaced.
  const pugi::xml_parse_result parsed =
      document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) {
    return fault(std::string(parsed.description()) + " at offset " + fmt::number(static_cast<double>(parsed.offset)));
  }

  pugi::xml_node root;
  for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
    if (node.type() != pugi::node_element) continue;
    if (root) return fault("more than one root element");
    root = node;
  }
  if (std::strcmp(root.name(), "robot") != 0) {
    return fault("root element is " + fmt::quoted(root.name()) + ", expected \"robot\"");
  }

  Robot robot;
  robot.name = root.attribute("name").value();
  std::unordered_set<std::string> link_names;
  std::unordered_set<std::string> joint_names;
  for (pugi::xml_node node = root.first_child(); node; node = node.next_sibling()) {
    if (node.type() != pugi::node_element) continue;
    if (std::strcmp(node.name(), "link") == 0) {
      auto link = read_link(node);
      if (!link) return std::unexpected(link.error());
      if (!link_names.insert(link->name).second) return fault("link name " + fmt::quoted(link->name) + " is not unique");
      robot.links.push_back(std::move(*link));
    } else if (std::strcmp(node.name(), "joint") == 0) {
      auto joint = read_joint(node);
      if (!joint) return std::unexpected(joint.error());
      if (!joint_names.insert(joint->name).second) {
        return fault("joint name " + fmt::quoted(joint->name) + " is not unique");
      }
      robot.joints.push_back(std::move(*joint));
    }
  }
  return robot;
}

}  // namespace

Result<Robot> parse(std::string_view text) {
  auto robot = read_robot(text);
  if (!robot) return fail(Error::model("libkorvex model: cannot parse URDF: " + robot.error().what));
  return std::move(*robot);
}

}  // namespace korvex::model::urdf
