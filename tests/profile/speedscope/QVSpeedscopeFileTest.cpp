#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "speedscope/QVSpeedscopeFile.h"

namespace Quorvel {
namespace {

// The fields the speedscope file format requires (its published JSON
// schema): "$schema", "shared.frames" with names, and per sampled profile
// "type", "name", "unit", "startValue", "endValue", "samples", "weights".
TEST(QVSpeedscopeFileTest, WritesSharedFramesAndOneSampledProfilePerThreadAndRefusesUnknownFrames) {
  QVSpeedscopeFile file("app.qvprof");
  const uint32_t main = file.frameIndex({"main", "/usr/bin/app"});
  const uint32_t work = file.frameIndex({"work", "/usr/bin/app"});
  const uint32_t leaf = file.frameIndex({"memcpy", ""});
  EXPECT_EQ(main, file.frameIndex({"main", "/usr/bin/app"})) << "frames are shared";
  EXPECT_NE(main, file.frameIndex({"main", "/usr/lib/other.so"})) << "same name in another module";

  file.beginProfile("app (10/10)");
  file.addSample({main, work});
  file.addSample({main, work});  // merges with the one before
  file.addSample({main, work, leaf});
  file.addSample({main, work}, 2.5);  // no merge across a different stack
  file.beginProfile("worker (10/11)");
  file.addSample({work});

  std::ostringstream out;
  file.write(out);
  const nlohmann::json json = nlohmann::json::parse(out.str());
  EXPECT_EQ("https://www.speedscope.app/file-format-schema.json", json["$schema"]);
  EXPECT_EQ("app.qvprof", json["name"]);
  EXPECT_EQ(nlohmann::json::parse(R"([{"name":"main","file":"/usr/bin/app"},{"name":"work","file":"/usr/bin/app"},
                                      {"name":"memcpy"},{"name":"main","file":"/usr/lib/other.so"}])"),
            json["shared"]["frames"]);
  ASSERT_EQ(2u, json["profiles"].size());
  const nlohmann::json& first = json["profiles"][0];
  EXPECT_EQ("sampled", first["type"]);
  EXPECT_EQ("app (10/10)", first["name"]);
  EXPECT_EQ("none", first["unit"]);
  EXPECT_EQ(0, first["startValue"]);
  EXPECT_EQ(5.5, first["endValue"]) << "the sum of the weights";
  EXPECT_EQ(nlohmann::json::parse("[[0,1],[0,1,2],[0,1]]"), first["samples"]);
  EXPECT_EQ(nlohmann::json::parse("[2,1,2.5]"), first["weights"]);
  EXPECT_EQ(nlohmann::json::parse("[[1]]"), json["profiles"][1]["samples"]);

  // Samples that could not be read are refused.
  QVSpeedscopeFile refusing("x");
  EXPECT_THROW(refusing.addSample({}), std::exception) << "no profile begun";
  refusing.beginProfile("t");
  EXPECT_THROW(refusing.addSample({0}), std::exception) << "frame 0 does not exist";
}

}  // namespace
}  // namespace Quorvel
