#include "sim/description.hpp"

#include <array>
#include <cstdio>
#include <sstream>

#include <pugixml.hpp>

#include "korvex/model/builtin_zk1.hpp"

namespace korvex::sim {
namespace {

struct Zk2Joint {
  double lower, upper, velocity, offset, deceleration;
};

// Position limits, maximum speed, braking offset [rad/s] and deceleration [rad/s^2] of the ZK2 arm.
constexpr std::array<Zk2Joint, 7> kJoints = {{
    {-2.9007, 2.9007, 2.62, 0.6599, 6.0},
    {-1.8361, 1.8361, 2.62, 0.2517, 2.585},
    {-2.9007, 2.9007, 2.62, 0.2, 3.5},
    {-3.077, -0.1169, 2.62, 0.3533, 4.0},
    {-2.8763, 2.8763, 5.26, 0.5757, 17.0},
    {0.4398, 4.6216, 4.18, 0.4878, 5.5},
    {-3.0508, 3.0508, 5.26, 0.4628, 17.0},
}};

std::string text(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  return buf;
}

}  // namespace

std::string zk2_description() {
  pugi::xml_document doc;
  const auto src = model::builtin_zk1_urdf();
  doc.load_buffer(src.data(), src.size(), pugi::parse_default | pugi::parse_declaration | pugi::parse_comments);
  pugi::xml_node robot = doc.child("robot");
  robot.attribute("name").set_value("zk2");
  for (pugi::xml_node c = doc.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_comment) c.set_value(" ZK2 arm as served by the korvex simulator. ");
  for (std::size_t i = 0; i < kJoints.size(); ++i) {
    const std::string name = "joint" + std::to_string(i + 1);
    pugi::xml_node joint = robot.find_child_by_attribute("joint", "name", name.c_str());
    pugi::xml_node limit = joint.child("limit");
    limit.attribute("lower").set_value(text(kJoints[i].lower).c_str());
    limit.attribute("upper").set_value(text(kJoints[i].upper).c_str());
    limit.attribute("velocity").set_value(text(kJoints[i].velocity).c_str());
    pugi::xml_node pbvl = joint.insert_child_after("position_based_velocity_limits", limit);
    pbvl.append_attribute("velocity_offset").set_value(text(kJoints[i].offset).c_str());
    pbvl.append_attribute("deceleration_limit").set_value(text(kJoints[i].deceleration).c_str());
  }
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  return out.str();
}

}  // namespace korvex::sim
